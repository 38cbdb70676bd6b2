#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "PlayerExport.h"
#include "PlayerFailure.h"
#include "PlayerRecords.h"

namespace OrvanePlayer {

// What a probe found out about a stream.
struct ProbeResult {
    int code = 0;           // 0: the stream delivered the audio asked for; else an error
                            // code of PlayerErrors.h (EPLAYER_OPEN_URL, EPLAYER_SOURCE_TIMEOUT,
                            // EPLAYER_PROCESS_BUFFER)
    uint64_t audio_ms = 0;  // decoded audio the stream delivered before the probe ended
    std::string reason;     // why it failed, in words; empty on success
};

// Checks whether a stream plays, without playing it: opens the URL with an audio source
// and decoders of its own, shared with no player, and decodes until the stream has
// delivered the audio asked for. Nothing reaches a sound card. A player can go on playing
// anything, another stream included, while a probe runs on another thread.
class IStreamProbe {
public:
    virtual ~IStreamProbe() = default;

    // Blocks until audio_ms of decoded audio came from url, the stream failed or ended,
    // limit_ms passed, or Interrupt was called. Returns out.code. One thread at a time.
    virtual int Probe(const std::string& url, uint32_t audio_ms, uint32_t limit_ms,
                      ProbeResult& out) = 0;
    // Any thread: ends the probe in progress at once, and every later one (for a shutdown).
    virtual void Interrupt() = 0;
    // How HTTPS servers are checked from the next Probe on, as SetTlsSettings does for a
    // player (checked against the system's trust store until it is called). On the thread
    // that probes, between probes. The results of SetTlsSettings.
    virtual int SetTlsSettings(const TlsSettings& settings) = 0;
    // The only host RTP streams are taken from from the next Probe on (empty: any sender),
    // as SetRtpSource does for a player: a stream is not judged back on a stranger's
    // packets. On the thread that probes, between probes.
    virtual void SetRtpSource(const std::string& host) = 0;
};

struct StreamProbeDeleter {
    ORVANE_PLAYER_API void operator()(IStreamProbe* probe) const noexcept;
};
using StreamProbePtr = std::unique_ptr<IStreamProbe, StreamProbeDeleter>;

// A probe that sends params' user agent and header lines, logging with the given player
// id. Create and destroy it on the thread that initializes players (it takes its share of
// the network libraries' global set-up). Engine library 1.3.
ORVANE_PLAYER_API StreamProbePtr CreateStreamProbe(const StreamParams& params, int32_t player_id);

}  // namespace OrvanePlayer
