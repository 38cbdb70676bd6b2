#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "player/include/StreamProbe.h"

namespace app {

// Tries streams in the background, one at a time, with a probe of its own, while the
// player plays something else: a stream is back once its decoders accepted kBackAudioMs
// of audio. Request and TakeResult on the main thread; the probe runs on the thread
// "Recheck".
class CSourceRecheck final {
public:
    static constexpr uint32_t kBackAudioMs = 2000;
    // How long one try may take: connection, playlist, buffering servers.
    static constexpr uint32_t kProbeLimitMs = 15000;

    // How the probe opens streams, as the player does.
    struct ProbeSettings {
        OrvanePlayer::TlsSettings tls;
        std::string rtp_source;  // the only host RTP packets are taken from; empty: any
    };

    struct Result {
        int source = -1;
        std::string url;  // what was tried
        bool back = false;
        std::string reason;  // why not, when not back
    };

    CSourceRecheck() = default;
    ~CSourceRecheck();
    CSourceRecheck(const CSourceRecheck&) = delete;
    CSourceRecheck& operator=(const CSourceRecheck&) = delete;

    // Makes the probe (with the player's request options and id for its log lines) and
    // starts the thread, unless it runs. Call with the stop signals blocked (the thread
    // inherits the mask), on the thread that initializes the player. The probe checks
    // HTTPS servers and RTP senders as settings say, like the player.
    void Start(const OrvanePlayer::StreamParams& params, int32_t player_id,
               const ProbeSettings& settings);
    // The settings from the next try on (a reload changed them).
    void SetSettings(const ProbeSettings& settings);
    // Ends a probe in progress and the thread. Idempotent.
    void Stop();

    // Asks for url of source to be tried; false while another try is asked for or runs.
    bool Request(int source, const std::string& url);
    // The source asked for, or -1 when none.
    int Pending() const;
    // The outcome of the last try once it ended; false while none is waiting.
    bool TakeResult(Result& out);

private:
    void Run();

    OrvanePlayer::StreamProbePtr m_probe;  // used by the thread; Interrupt from Stop
    std::thread m_thread;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false;            // guarded by m_lock
    int m_source = -1;              // guarded by m_lock: asked for or running, -1 none
    std::string m_url;              // guarded by m_lock
    bool m_running = false;         // guarded by m_lock
    bool m_has_result = false;      // guarded by m_lock
    ProbeSettings m_settings;         // guarded by m_lock
    bool m_settings_changed = false;  // guarded by m_lock: not yet given to the probe
    Result m_result;                // guarded by m_lock
};

}  // namespace app
