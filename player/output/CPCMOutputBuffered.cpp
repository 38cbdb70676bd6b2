#include "player/output/CPCMOutputBuffered.h"
#include "utils/Assert.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "player/output/CResampler.h"
#include "player/output/CRingBuffer.h"
#include "player/output/CStreamHealth.h"
#include "utils/CLogger.h"
#include "utils/MonotonicClock.h"

using utils::logger;

namespace {
// How long after the lost audio was due a source reports the loss, at most.
constexpr int64_t kLossReportMs = 100;

int64_t monotonic_ms() {
    const timespec now = utils::monotonic_now();
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct HwParamsFree {
    void operator()(snd_pcm_hw_params_t* p) const noexcept { snd_pcm_hw_params_free(p); }
};
struct SwParamsFree {
    void operator()(snd_pcm_sw_params_t* p) const noexcept { snd_pcm_sw_params_free(p); }
};
}  // namespace

CPCMOutputBuffered::CPCMOutputBuffered(BufferingAlgorithm::IBufferingAlgorithm* algorithm, int delay_ms,
                                       int acc_ms)
    : m_algorithm(algorithm),
      m_ring(new CRingBuffer),
      m_resampler(new CResampler(this)),
      m_acc_ms(acc_ms) {
    m_algorithm->SetSampleRate(kDeviceRate);
    m_threshold = static_cast<uint64_t>(std::max<int64_t>(
        0, std::min(m_algorithm->MsToTicks(delay_ms), m_algorithm->MsToTicks(kInitialRingMs))));
    m_algorithm->SetParameters(m_algorithm->TicksToMs(static_cast<int64_t>(m_threshold)), m_acc_ms);
}

CPCMOutputBuffered::~CPCMOutputBuffered() = default;

void CPCMOutputBuffered::set_player_prefix(const char* text) {
    const std::string base = text ? text : "";
    APlayerInfoAdapter::set_player_prefix((base + " BUFFERED AUDIO OUT:").c_str());
    m_resampler->set_player_prefix((base + " RESAMPLER:").c_str());
}

uint32_t CPCMOutputBuffered::GetRingCapacity() const {
    return m_ring->GetSize() / kBytesPerFrame;
}

void CPCMOutputBuffered::SetHealth(CStreamHealth* health) {
    m_health = health;
    if (m_health)
        m_health->SetTarget(static_cast<uint32_t>(m_algorithm->TicksToMs(static_cast<int64_t>(m_threshold))));
}

void CPCMOutputBuffered::report_level(uint64_t ticks) {
    if (m_health)
        m_health->SetLevel(static_cast<uint32_t>(m_algorithm->TicksToMs(static_cast<int64_t>(ticks))));
}

void CPCMOutputBuffered::count_underrun() {
    if (m_health && !m_playing_out)
        m_health->AddUnderrun();
}

// What the algorithm decided beyond passing the block: frames added or left out to steer
// the level. The frames that stand in for lost packets are no correction (the source
// counts the packets themselves).
void CPCMOutputBuffered::count_decision(int decision, uint16_t frames, uint64_t out, unsigned int lost) {
    if (!m_health || lost > 0)
        return;
    if (decision == BufferingAlgorithm::IBufferingAlgorithm::DROP_OUTPUT)
        m_health->AddDropped(frames);
    else if (out > frames)
        m_health->AddDuplicated(out - frames);
    else if (out < frames)
        m_health->AddDropped(frames - out);
}

int CPCMOutputBuffered::SetAudioFormat(const AudioFormat* format) {
    const AudioFormat f = format ? *format : AudioFormat{};
    // A stream's data decides these numbers: refuse what the resampler cannot take
    // instead of letting it reach its width assertion.
    if (static_cast<int64_t>(f.bits) * f.channels * f.rate == 0 || !CResampler::IsSupportedBits(f.bits) ||
        f.channels < 0 || f.rate < 0) {
        logger.debug("Improper audio format provided: bits=%d,channels=%d,rate=%d. Clearing audio format values.",
                     f.bits, f.channels, f.rate);
        ClearFormat();
        return -1;
    }
    m_bits = f.bits;
    m_channels = f.channels;
    m_rate = f.rate;
    // Callers hand over a whole AudioInfo that begins with the format.
    return m_resampler->SetInputFormat(static_cast<const AudioInfo*>(format));
}

int CPCMOutputBuffered::Initialize() {
    m_ring->Init(kBytesPerFrame, static_cast<uint32_t>(m_algorithm->MsToTicks(kInitialRingMs)));
    m_resampler->Initialize();
    AudioInfo out;
    out.bits = 16;
    out.rate = kDeviceRate;
    out.channels = kDeviceChannels;
    m_resampler->SetOutputFormat(&out);
    const int rc = alsa_initialize();
    return rc < 0 ? rc : 0;
}

int CPCMOutputBuffered::alsa_initialize() {
    snd_pcm_t* pcm = nullptr;
    int rc = snd_pcm_open(&pcm, m_device_name.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
    if (rc < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::alsa_initialize(): cannot open audio device %s (%s)\n",
                     get_player_prefix(), m_device_name.c_str(), snd_strerror(rc));
        return -1;
    }
    m_handle.reset(pcm);
    rc = set_alsa_hw_params();
    if (rc < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::alsa_initialize(): cannot set HW params (%s)\n",
                     get_player_prefix(), snd_strerror(rc));
        m_handle.reset();  // never keep a half-configured device
        return -1;
    }
    rc = set_alsa_sw_params();
    if (rc < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::alsa_initialize(): cannot allocate minimal pcm playback threshold of 4096B frames\n",
                     get_player_prefix());
        m_handle.reset();
        return rc;
    }
    rc = snd_pcm_prepare(m_handle.get());
    if (rc < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::alsa_initialize(): cannot prepare audio interface for use (%s)\n",
                     get_player_prefix(), snd_strerror(rc));
        m_handle.reset();
        return -1;
    }
    return 0;
}

int CPCMOutputBuffered::set_alsa_hw_params() {
    snd_pcm_hw_params_t* raw = nullptr;
    const int rc = snd_pcm_hw_params_malloc(&raw);
    if (rc < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::set_alsa_hw_params(): cannot allocate hardware parameter structure (%s)\n",
                     get_player_prefix(), snd_strerror(rc));
        return -1;
    }
    std::unique_ptr<snd_pcm_hw_params_t, HwParamsFree> params(raw);
    return set_alsa_hw_params(params.get());
}

int CPCMOutputBuffered::set_alsa_hw_params(snd_pcm_hw_params_t* params) {
    snd_pcm_t* pcm = m_handle.get();
    const char* prefix = get_player_prefix();
    int rc = snd_pcm_hw_params_any(pcm, params);
    if (rc < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::set_alsa_hw_params(): cannot initialize hardware parameter structure (%s)\n",
                     prefix, snd_strerror(rc));
        return -1;
    }
    if ((rc = snd_pcm_hw_params_set_rate_resample(pcm, params, 1)) < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::set_alsa_hw_params(): Resampling setup failed for playback: %s\n",
                     prefix, snd_strerror(rc));
        return rc;
    }
    if ((rc = snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::set_alsa_hw_params(): cannot set access type (%s)\n",
                     prefix, snd_strerror(rc));
        return -1;
    }
    if ((rc = snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S16_LE)) < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::set_alsa_hw_params(): cannot set sample format (%s)\n",
                     prefix, snd_strerror(rc));
        return -1;
    }
    logger.info("%s CPCMOutputBuffered::set_alsa_hw_params(): Setting samplerate to %d...\n", prefix, kDeviceRate);
    unsigned int rate = kDeviceRate;
    if ((rc = snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr)) < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::set_alsa_hw_params(): cannot set sample rate (%s)\n",
                     prefix, snd_strerror(rc));
        return -1;
    }
    if (rate != static_cast<unsigned>(kDeviceRate)) {
        logger.error("%s ERROR :CPCMOutputBuffered::set_alsa_hw_params(): Rate doesn't match (requested %iHz, get %iHz)\n",
                     prefix, kDeviceRate, static_cast<int>(rate));
        return -EINVAL;
    }
    if ((rc = snd_pcm_hw_params_set_channels(pcm, params, kDeviceChannels)) < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::set_alsa_hw_params(): cannot set channel count to %d (%s)\n",
                     prefix, kDeviceChannels, snd_strerror(rc));
        return -1;
    }
    if ((rc = snd_pcm_hw_params(pcm, params)) < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::set_alsa_hw_params(): cannot set parameters (%s)\n",
                     prefix, snd_strerror(rc));
        return -1;
    }
    return 0;
}

int CPCMOutputBuffered::set_alsa_sw_params() {
    snd_pcm_sw_params_t* raw = nullptr;
    int rc = snd_pcm_sw_params_malloc(&raw);
    if (rc < 0)
        return rc;
    std::unique_ptr<snd_pcm_sw_params_t, SwParamsFree> params(raw);
    snd_pcm_t* pcm = m_handle.get();
    const char* prefix = get_player_prefix();
    if ((rc = snd_pcm_sw_params_current(pcm, params.get())) < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::set_alsa_sw_params(): Unable to determine current swparams for playback: %s\n",
                     prefix, snd_strerror(rc));
        return rc;
    }
    logger.info("%s CPCMOutputBuffered::set_alsa_sw_params(): Setting start threshold to %lu samples...\n", prefix,
                static_cast<unsigned long>(kDeviceStartThreshold));
    if ((rc = snd_pcm_sw_params_set_start_threshold(pcm, params.get(), kDeviceStartThreshold)) < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::set_alsa_swparams(): Unable to set start threshold mode for playback: %s\n",
                     prefix, snd_strerror(rc));
        return rc;
    }
    snd_pcm_uframes_t buffer_size = 0;
    snd_pcm_uframes_t period_size = 0;
    if ((rc = snd_pcm_get_params(pcm, &buffer_size, &period_size)) < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::set_alsa_sw_params(): cannot get audio params (%s)\n", prefix,
                     snd_strerror(rc));
        return -1;
    }
    logger.info("%s CPCMOutputBuffered::set_alsa_sw_params(): buf_size: %d, period_size: %d \n", prefix,
                static_cast<int>(buffer_size), static_cast<int>(period_size));
    // A new device may grant another period: the transfer buffer must fit it.
    if (!m_transfer || static_cast<int32_t>(period_size) != m_period)
        m_transfer.reset(new uint8_t[period_size * kBytesPerFrame]);
    m_period = static_cast<int32_t>(period_size);
    if ((rc = snd_pcm_sw_params(pcm, params.get())) < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::set_alsa_swparams(): Unable to set sw params for playback: %s\n",
                     prefix, snd_strerror(rc));
        return rc;
    }
    return 0;
}

int CPCMOutputBuffered::GetTotalDelay(uint64_t* ticks) {
    int64_t device = 0;
    const int rc = GetDelay(&device);
    if (rc < 0)
        return rc;
    // A device that has just under-run may report a negative delay; never let it wrap.
    const int64_t total = static_cast<int64_t>(m_ring->GetFillLevel()) + device;
    *ticks = total > 0 ? static_cast<uint64_t>(total) : 0;
    return 0;
}

int CPCMOutputBuffered::GetBufferedMs(uint32_t* ms) {
    uint64_t ticks = 0;
    GetTotalDelay(&ticks);
    *ms = static_cast<uint32_t>(m_algorithm->TicksToMs(static_cast<int64_t>(ticks)));
    if (m_health)
        m_health->SetLevel(*ms);
    if (!m_handle)
        return -EBADFD;
    return static_cast<int>(snd_pcm_avail(m_handle.get()));
}

int CPCMOutputBuffered::reset_thresholds(int ms) {
    m_threshold = static_cast<uint64_t>(std::max<int64_t>(0, m_algorithm->MsToTicks(ms)));
    m_algorithm->SetParameters(m_algorithm->TicksToMs(static_cast<int64_t>(m_threshold)), m_acc_ms);
    m_ring->Init(kBytesPerFrame, static_cast<uint32_t>(m_threshold + m_threshold / 2));
    if (m_health)
        m_health->SetTarget(static_cast<uint32_t>(m_algorithm->TicksToMs(static_cast<int64_t>(m_threshold))));
    return 0;
}

int CPCMOutputBuffered::SetBufferSize(unsigned ms) {
    logger.info("%s CPCMOutputBuffered::SetBufferSize(): setting new buffer size of %d ms\n", get_player_prefix(),
                static_cast<int>(ms));
    if (StopAudio() < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::SetBufferSize(): Could not Stop audio.\n", get_player_prefix());
        return -1;
    }
    m_ring->Free();
    logger.info("%s CPCMOutputBuffered::SetBufferSize() setting ring buffer for %u ms", get_player_prefix(), ms);
    reset_thresholds(static_cast<int>(std::min<unsigned>(ms, 65535u)));
    if (StartAudio() < 0) {
        m_ring->Free();
        logger.error("%s ERROR :CPCMOutputBuffered::SetBufferSize(): Could not Start audio.\n", get_player_prefix());
        return -1;
    }
    return 0;
}

int CPCMOutputBuffered::StopAudio() {
    logger.info("%s CPCMOutputBuffered::StopAudio(): StopAudio() called.\n", get_player_prefix());
    int rc = 0;
    if (m_handle) {
        rc = snd_pcm_drop(m_handle.get());
        if (rc < 0)
            logger.error("%s ERROR :CPCMOutputBuffered::StopAudio(): cannot drain audio (%s)\n", get_player_prefix(),
                         snd_strerror(rc));
    }
    m_ring->Reset();
    m_started = false;
    m_playing_out = false;
    report_level(0);
    logger.info("%s CPCMOutputBuffered::StopAudio() End.\n", get_player_prefix());
    return rc;
}

int CPCMOutputBuffered::DropAudio() {
    const int rc = StopAudio();
    const int prepared = StartAudio();
    return rc < 0 ? rc : prepared;
}

int CPCMOutputBuffered::DeInitialize() {
    m_resampler->DeInitialize();
    logger.info("%s CPCMOutputBuffered::DeInitialize(): DeInitialize() called.\n", get_player_prefix());
    int rc = 0;
    if (m_handle) {
        rc = snd_pcm_close(m_handle.release());
        m_started = false;
        if (rc < 0)
            logger.error("%s ERROR :CPCMOutputBuffered::DeInitialize(): cannot close handle (%s)\n",
                         get_player_prefix(), snd_strerror(rc));
    }
    m_ring->Free();
    m_transfer.reset();
    m_period = 0;
    logger.info("%s CPCMOutputBuffered::DeInitialize() End.\n", get_player_prefix());
    return rc;
}

int CPCMOutputBuffered::total_delay_with_recovery(uint64_t* total) {
    int rc = GetTotalDelay(total);
    if (rc >= 0)
        return 0;
    if (rc == -EPIPE)
        count_underrun();
    logger.warning("%s CPCMOutputBuffered::WriteBuffer() get delay failed: %s. Trying to recover\n",
                   get_player_prefix(), snd_strerror(rc));
    if (xrun_recovery(m_handle.get(), rc) < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::WriteBuffer() recovery failed: %s\n", get_player_prefix(),
                     snd_strerror(rc));
        return -1;
    }
    logger.info("%s CPCMOutputBuffered::WriteBuffer(): Recovery successful, getting delays", get_player_prefix());
    rc = GetTotalDelay(total);
    if (rc < 0) {
        m_started = false;
        logger.error("%s ERROR :CPCMOutputBuffered::WriteBuffer() get delay failed 2nd time: %s, giving up\n",
                     get_player_prefix(), snd_strerror(rc));
        return -1;
    }
    logger.notice("%s Delay after recovery is %lld ticks", get_player_prefix(), static_cast<long long>(*total));
    return 0;
}

const uint8_t* CPCMOutputBuffered::silence(uint16_t frames) {
    // Sized for the announced input frame, which may be wider than a device frame.
    const size_t frame_bytes = static_cast<size_t>(std::max(1, m_bits / 8)) * std::max(1, m_channels);
    const size_t bytes = frames * std::max<size_t>(frame_bytes, kBytesPerFrame);
    if (bytes > m_silence_bytes) {
        m_silence.reset(new uint8_t[bytes]);
        m_silence_bytes = bytes;
    }
    // Unsigned 8-bit PCM is silent at its midpoint.
    std::memset(m_silence.get(), m_bits == 8 ? 0x80 : 0, bytes);
    return m_silence.get();
}

uint64_t CPCMOutputBuffered::cap_to_ring(uint16_t frames, uint64_t out) {
    // Frames the ring can still take, counted at the input rate; the block itself always
    // goes through so that the ring reports a full buffer the usual way.
    const int in_rate = m_rate > 0 ? m_rate : kDeviceRate;
    const uint64_t room = static_cast<uint64_t>(m_ring->GetFreeSpace()) * in_rate / kDeviceRate;
    const uint64_t limit = std::max<uint64_t>(room, frames);
    if (out <= limit)
        return out;
    logger.error("%s ERROR :CPCMOutputBuffered::ResamplerOutputBuffer() Audio buffer full! Dropping %u samples...\n",
                 get_player_prefix(), static_cast<unsigned>(std::min<uint64_t>(out - limit, UINT32_MAX)));
    return limit;
}

int CPCMOutputBuffered::write_frames(const uint8_t* block, uint16_t frames, uint64_t out) {
    // out may exceed the block (it repeats from its start) or fall short of it (cut).
    while (out > 0) {
        const uint16_t n = static_cast<uint16_t>(std::min<uint64_t>(out, frames));
        if (m_resampler->Resample(block, n) < 0)
            return -1;
        out -= n;
    }
    return 0;
}

int CPCMOutputBuffered::WriteBuffer(const uint8_t* data, uint16_t frames, unsigned int lost) {
    if (!m_handle)
        return -1;
    uint64_t total = 0;
    if (total_delay_with_recovery(&total) < 0)
        return -1;
    const bool running = snd_pcm_state(m_handle.get()) == SND_PCM_STATE_RUNNING;
    if (running && lost > 0)
        lost = lost_while_playing(lost);
    uint64_t out = 0;
    const int decision = m_algorithm->WriteFrame(total, frames, running, &out, lost);
    report_level(total);
    count_decision(decision, frames, out, lost);
    // Frames standing in for lost packets are no audio the stream delivered.
    if (m_health && lost == 0 && m_bits != 0 && m_rate > 0)
        m_health->AddAudio(frames, static_cast<uint32_t>(m_rate));
    int rc = 0;
    if (frames > 0 && m_bits != 0) {
        switch (decision) {
        case BufferingAlgorithm::IBufferingAlgorithm::WRITE_BLOCK:
            rc = write_frames(data, frames, cap_to_ring(frames, out));
            break;
        case BufferingAlgorithm::IBufferingAlgorithm::WRITE_SILENCE: {
            const uint64_t n = cap_to_ring(frames, out);
            rc = write_frames(silence(frames), frames, n);
            break;
        }
        case BufferingAlgorithm::IBufferingAlgorithm::DROP_OUTPUT:
            m_resampler->DropOutput(frames);
            break;
        default:
            UTILS_ASSERT(false, "unknown buffering decision");
            break;
        }
    }
    if (rc < 0)
        return rc;
    // A wait for room inside this block may already have started the device.
    if (!running && snd_pcm_state(m_handle.get()) != SND_PCM_STATE_RUNNING) {
        rc = start_if_threshold_reached();
        if (rc < 0)
            return rc;
    }
    alsa_write_audio_poll();
    return 0;
}

// A loss is told with the first block after it, up to kLossReportMs after the lost audio
// was due (the source waits that long for late packets). A loss told that soon after the
// device started was waited for while buffering, not missed by the listener: filling it
// would grow the buffer by it for good.
unsigned int CPCMOutputBuffered::lost_while_playing(unsigned int lost) const {
    return monotonic_ms() - m_started_ms < kLossReportMs ? 0 : lost;
}

int CPCMOutputBuffered::start_if_threshold_reached() {
    uint64_t total = 0;
    if (GetTotalDelay(&total) < 0 || total < m_threshold)
        return 0;
    m_started = true;
    alsa_write_audio_poll();  // pre-fill the device from the ring
    logger.notice("%s  id=%d, CPCMOutputBuffered::WriteBuffer(): Audio threshold of %llu samples reached (current %llu). Starting playback",
                  get_player_prefix(), get_player_id(), static_cast<unsigned long long>(m_threshold),
                  static_cast<unsigned long long>(total));
    return start_device();
}

int CPCMOutputBuffered::start_playback(const char* reason, uint64_t total) {
    m_started = true;
    alsa_write_audio_poll();  // pre-fill the device from the ring
    write_tail();
    logger.notice("%s  id=%d, CPCMOutputBuffered: %s with %llu samples buffered (threshold %llu). Starting playback",
                  get_player_prefix(), get_player_id(), reason, static_cast<unsigned long long>(total),
                  static_cast<unsigned long long>(m_threshold));
    return start_device();
}

int CPCMOutputBuffered::start_device() {
    const int rc = snd_pcm_start(m_handle.get());
    m_started_ms = monotonic_ms();
    if (rc < 0) {
        logger.error("%s ERROR :CPCMOutputBuffered::WriteBuffer(): snd_pcm_start() failed: %s\n", get_player_prefix(),
                     snd_strerror(rc));
        m_started = false;
        return rc;
    }
    return 0;
}

void CPCMOutputBuffered::SetBackPressure(int (*check)(void*), void* context) {
    m_room_check = check;
    m_room_context = context;
}

int CPCMOutputBuffered::wait_for_room() {
    // A ring that cannot hold one period never passes anything to the device.
    if (!m_room_check || !m_handle || m_period <= 0 || GetRingCapacity() < static_cast<uint32_t>(m_period))
        return kCannotWait;
    if (!m_started) {
        // A full ring is all that pre-buffering can gather.
        uint64_t total = 0;
        if (GetTotalDelay(&total) < 0 || start_playback("ring full", total) < 0)
            return kCannotWait;
    }
    if (m_room_check(m_room_context) != 0)
        return kGiveUp;
    alsa_write_audio_poll();
    if (m_ring->GetFreeSpace() > 0)
        return kRoom;
    if (!m_told_waiting) {
        m_told_waiting = true;
        logger.info("%s CPCMOutputBuffered::ResamplerOutputBuffer(): ring full, the source waits for the device\n",
                    get_player_prefix());
    }
    // Sleeps until the device can take a period (about one period's time); an under-run
    // is seen by the next poll, which prepares the device for a new start.
    const int period_ms = static_cast<int>(static_cast<int64_t>(m_period) * 1000 / kDeviceRate) + 1;
    const int rc = snd_pcm_wait(m_handle.get(), period_ms);
    if (rc < 0 && rc != -EPIPE) {
        logger.error("%s ERROR :CPCMOutputBuffered::ResamplerOutputBuffer() waiting for the device failed: %s\n",
                     get_player_prefix(), snd_strerror(rc));
        return kCannotWait;
    }
    return kRoom;
}

bool CPCMOutputBuffered::HoldsAudio() {
    if (!m_handle)
        return false;
    const snd_pcm_state_t state = snd_pcm_state(m_handle.get());
    return state == SND_PCM_STATE_RUNNING || (state == SND_PCM_STATE_PREPARED && m_ring->GetFillLevel() > 0);
}

bool CPCMOutputBuffered::WaitForDevice(int ms) {
    if (!m_handle || !m_started || m_period <= 0 || m_ring->GetFillLevel() < static_cast<uint32_t>(m_period))
        return false;
    // An under-run ends the wait as well; the next poll prepares the device again.
    const int rc = snd_pcm_wait(m_handle.get(), ms);
    return rc >= 0 || rc == -EPIPE;
}

int CPCMOutputBuffered::ResamplerOutputBuffer(const void* data, int frames) {
    if (frames <= 0)
        return 0;
    const auto* next = static_cast<const uint8_t*>(data);
    uint32_t left = static_cast<uint32_t>(frames);
    for (;;) {
        const uint32_t stored = m_ring->Write(next, left);
        next += static_cast<size_t>(stored) * kBytesPerFrame;
        left -= stored;
        if (left == 0)
            return 0;
        const int wait = wait_for_room();
        if (wait == kGiveUp)
            return 0;  // stop or new item: the rest of the block is not wanted
        if (wait == kCannotWait)
            break;
    }
    logger.error("%s ERROR :CPCMOutputBuffered::ResamplerOutputBuffer() Audio buffer full! Dropping %u samples...\n",
                 get_player_prefix(), left);
    return 0;
}

int CPCMOutputBuffered::PlayOut() {
    if (!m_handle || m_period <= 0)
        return 0;
    m_playing_out = true;
    alsa_write_audio_poll();  // feeds a running device; an under-run leaves it prepared
    uint64_t total = 0;
    if (!m_started) {
        // Shorter than the threshold, or the device ran dry between two calls.
        if (GetTotalDelay(&total) < 0 || total == 0)
            return 0;
        const int rc = start_playback("end of stream", total);
        return rc < 0 ? rc : 1;
    }
    write_tail();
    // A failing delay is the under-run after the last frame: everything has played.
    if (GetTotalDelay(&total) < 0)
        return m_ring->GetFillLevel() > 0 ? 1 : 0;
    return total > 0 ? 1 : 0;
}

// The ring moves to the device in whole periods: at the end of a stream the last partial
// one goes out padded with silence.
void CPCMOutputBuffered::write_tail() {
    const uint32_t fill = m_ring->GetFillLevel();
    if (!m_started || fill == 0 || fill >= static_cast<uint32_t>(m_period))
        return;
    if (snd_pcm_avail_update(m_handle.get()) < m_period)
        return;
    const uint32_t got = m_ring->Read(m_transfer.get(), fill);
    std::memset(m_transfer.get() + static_cast<size_t>(got) * kBytesPerFrame, 0,
                static_cast<size_t>(m_period - got) * kBytesPerFrame);
    write_transfer();
}

void CPCMOutputBuffered::write_period() {
    m_ring->Read(m_transfer.get(), static_cast<uint32_t>(m_period));
    write_transfer();
}

void CPCMOutputBuffered::write_transfer() {
    snd_pcm_t* pcm = m_handle.get();
    snd_pcm_sframes_t rc = snd_pcm_writei(pcm, m_transfer.get(), static_cast<snd_pcm_uframes_t>(m_period));
    if (rc == -EPIPE)
        count_underrun();
    if (rc < 0 && snd_pcm_recover(pcm, static_cast<int>(rc), 0) == 0) {
        rc = snd_pcm_writei(pcm, m_transfer.get(), static_cast<snd_pcm_uframes_t>(m_period));
        if (rc < 0)
            logger.error("%s ERROR :snd_pcm_writei() failed with err=%d", get_player_prefix(), static_cast<int>(rc));
    }
}

void CPCMOutputBuffered::alsa_write_audio_poll() {
    if (!m_handle || !m_started || m_period <= 0)
        return;
    snd_pcm_t* pcm = m_handle.get();
    snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
    if (avail == -EPIPE) {
        // Under-run: back to pre-buffering; WriteBuffer starts again at the threshold.
        count_underrun();
        m_started = false;
        snd_pcm_prepare(pcm);
        avail = snd_pcm_avail_update(pcm);
        if (avail == -EPIPE) {
            logger.error("%s ERROR :CPCMOutputBuffered::alsa_write_audio_poll(): unable to read available frames for writing, because of broken pipe",
                         get_player_prefix());
            return;
        }
    }
    while (avail >= m_period && m_ring->GetFillLevel() >= static_cast<uint32_t>(m_period)) {
        write_period();
        avail = snd_pcm_avail_update(pcm);
    }
}
