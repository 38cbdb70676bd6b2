#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "player/decoder/CAudioDecoderChain.h"
#include "player/decoder/CAudioOutputCounter.h"
#include "player/include/StreamProbe.h"
#include "player/source/CAudioSource.h"

// A stream check beside the players: its own audio source and decoder chain ending in a
// counter, so a stream can be tried while a player plays something else. Probe on one
// thread at a time; Interrupt from any.
class CStreamProbe final : public OrvanePlayer::IStreamProbe {
public:
    // Builds the source and decoders; params give the HTTP request options.
    CStreamProbe(const OrvanePlayer::StreamParams& params, int32_t player_id);
    ~CStreamProbe() override;
    CStreamProbe(const CStreamProbe&) = delete;
    CStreamProbe& operator=(const CStreamProbe&) = delete;

    int Probe(const std::string& url, uint32_t audio_ms, uint32_t limit_ms,
              OrvanePlayer::ProbeResult& out) override;
    void Interrupt() override;
    int SetTlsSettings(const OrvanePlayer::TlsSettings& settings) override;
    void SetRtpSource(const std::string& host) override;

private:
    // libavformat's interrupt check: an interrupt, the source's watchdog or the deadline.
    static int InterruptCallback(void* self);
    bool PastDeadline() const;
    int Open(const std::string& url, OrvanePlayer::ProbeResult& out);
    int Decode(uint32_t audio_ms, OrvanePlayer::ProbeResult& out);
    int Fail(OrvanePlayer::ProbeResult& out, int code, const std::string& reason);

    CAudioDecoderChain m_decoder;  // probe thread only
    CAudioOutputCounter m_counter;  // probe thread only
    CAudioSource m_source;          // probe thread only, Interrupt() from any
    bool m_chain_ready = false;
    std::atomic<bool> m_interrupted{false};
    std::atomic<int64_t> m_deadline_ms{0};  // monotonic; written by the probe thread
};
