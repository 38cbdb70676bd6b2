#include "player/engine/CStreamProbe.h"

#include <mpg123.h>

#include <cerrno>
#include <cinttypes>
#include <memory>
#include <utility>

extern "C" {
#include <libavutil/error.h>
}

#include "player/include/PlayerErrors.h"
#include "player/source/CTrustStore.h"
#include "utils/CLogger.h"
#include "utils/MonotonicClock.h"

namespace {

constexpr const char* kPrefix = "PLAYBACK : STREAM PROBE:";

int64_t MonotonicMs() {
    const timespec now = utils::monotonic_now();
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

CStreamProbe::CStreamProbe(const OrvanePlayer::StreamParams& params, int32_t player_id) {
    m_decoder.set_player_prefix(kPrefix);
    m_decoder.set_player_id(player_id);
    m_source.set_player_prefix(kPrefix);
    m_source.set_player_id(player_id);
    const std::string options[2] = {params.user_agent, params.http_headers};
    m_source.SetRequestOptions(options);
    m_source.m_libav_callback = &CStreamProbe::InterruptCallback;
    m_source.m_libav_context = this;
    mpg123_init();
    m_chain_ready = m_decoder.CreateChain(kPrefix) == 0;
    m_decoder.SetDependentOutput(&m_counter);
    m_source.SetOutput(&m_decoder);
    m_source.NetworkInit();
}

CStreamProbe::~CStreamProbe() {
    m_source.DeInitialize();
    m_source.NetworkDeinit();
    m_decoder.DestroyDecoders();
}

int CStreamProbe::SetTlsSettings(const OrvanePlayer::TlsSettings& settings) {
    std::shared_ptr<const CTrustStore> trust;
    const int result = CTrustStore::Create(settings.verify, settings.ca_file, trust);
    m_source.SetTrust(std::move(trust));
    return result;
}

void CStreamProbe::SetRtpSource(const std::string& host) { m_source.SetRtpSource(host); }

void CStreamProbe::Interrupt() {
    m_interrupted = true;
    m_source.Interrupt();
}

bool CStreamProbe::PastDeadline() const { return MonotonicMs() >= m_deadline_ms.load(); }

int CStreamProbe::InterruptCallback(void* self) {
    auto* probe = static_cast<CStreamProbe*>(self);
    return probe->m_interrupted || probe->m_source.IsExpired() || probe->PastDeadline() ? 1 : 0;
}

int CStreamProbe::Fail(OrvanePlayer::ProbeResult& out, int code, const std::string& reason) {
    out.code = code;
    out.reason = reason;
    out.audio_ms = m_counter.AudioMs();
    utils::logger.info("%s %s: %s (%" PRIu64 " ms of audio)\n", kPrefix, m_source.GetDetail().c_str(),
                       reason.c_str(), out.audio_ms);
    return code;
}

int CStreamProbe::Probe(const std::string& url, uint32_t audio_ms, uint32_t limit_ms,
                        OrvanePlayer::ProbeResult& out) {
    out = OrvanePlayer::ProbeResult();
    m_counter.Reset();
    m_deadline_ms = MonotonicMs() + limit_ms;
    // The watchdog only backs the deadline up (whole seconds, at least one).
    m_source.SetTimeout(static_cast<int32_t>(limit_ms / 1000 + 1));
    if (m_interrupted) return Fail(out, OrvanePlayer::EPLAYER_SOURCE_TIMEOUT, "interrupted");
    if (!m_chain_ready) return Fail(out, OrvanePlayer::EPLAYER_PROCESS_BUFFER, "no decoders");
    int r = Open(url, out);
    if (r == 0) r = Decode(audio_ms, out);
    m_source.DeInitialize();
    return r;
}

int CStreamProbe::Open(const std::string& url, OrvanePlayer::ProbeResult& out) {
    AudioInfo none;
    m_decoder.SetAudioFormat(&none);
    const int r = m_source.Initialize(url, "");
    if (m_interrupted) return Fail(out, OrvanePlayer::EPLAYER_SOURCE_TIMEOUT, "interrupted");
    if (r == AVERROR_EXIT) return Fail(out, OrvanePlayer::EPLAYER_SOURCE_TIMEOUT, "time-out");
    if (r == -EINVAL || r == -1) return Fail(out, OrvanePlayer::EPLAYER_PROCESS_BUFFER, "no audio stream the player can decode");
    if (r != 0) {
        // The source's own cause (HTTP status, certificate, ...) says more than the code.
        const OrvanePlayer::PlaybackFailure& failure = m_source.GetFailure();
        if (failure.cause != OrvanePlayer::FAILURE_NONE && !failure.reason.empty())
            return Fail(out, OrvanePlayer::EPLAYER_OPEN_URL, failure.reason);
        char text[128];
        av_strerror(r, text, sizeof text);
        return Fail(out, OrvanePlayer::EPLAYER_OPEN_URL, text);
    }
    if (m_decoder.RestartFeed() != 0)
        return Fail(out, OrvanePlayer::EPLAYER_PROCESS_BUFFER, "the decoder cannot start");
    return 0;
}

// Reads packets until the counter at the chain's end shows audio_ms of decoded audio.
int CStreamProbe::Decode(uint32_t audio_ms, OrvanePlayer::ProbeResult& out) {
    while (m_counter.AudioMs() < audio_ms) {
        bool metadata_changed = false;
        const int r = m_source.ReadAudio(&metadata_changed);
        if (m_interrupted) return Fail(out, OrvanePlayer::EPLAYER_SOURCE_TIMEOUT, "interrupted");
        if (r == AVERROR_EOF) return Fail(out, OrvanePlayer::EPLAYER_PROCESS_BUFFER, "the stream ended");
        if (r == AVERROR_EXIT || PastDeadline())
            return Fail(out, OrvanePlayer::EPLAYER_SOURCE_TIMEOUT,
                        m_counter.AudioMs() > 0 ? "too little audio" : "no audio the decoders accept");
        if (r < 0 && r != AVERROR(EAGAIN)) {
            char text[128];
            av_strerror(r, text, sizeof text);
            return Fail(out, OrvanePlayer::EPLAYER_PROCESS_BUFFER, text);
        }
    }
    out.code = 0;
    out.audio_ms = m_counter.AudioMs();
    return 0;
}
