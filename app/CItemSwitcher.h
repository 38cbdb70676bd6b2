#pragma once

#include <cstdint>
#include <functional>

#include "app/BackupSources.h"
#include "player/include/IPlayer.h"

namespace app {

// What the program plays, as read from its configuration: the records handed to the
// engine and the backups of a stream. Compared to find out whether a configuration read
// again changes anything.
struct PlayerSetup {
    OrvanePlayer::PlaybackItem item;
    OrvanePlayer::StreamParams params;
    OrvanePlayer::PlayerInit init;
    BackupSources backups;
    std::string rtp_source;  // handed to the engine on its own (SetRtpSource)
};

// True when both setups would play the same thing the same way.
bool SameSetup(const PlayerSetup& a, const PlayerSetup& b);

// Moves the running player from its item to another: the current item fades out and
// stops, the next one starts with a fade in, within the same engine (initialized again
// only when a folder playlist lies in other folders than the engine has). The reload and
// the backup chain share one, so that both know the engine's folders. Main thread only.
class CItemSwitcher final {
public:
    // Sleeps up to the given ms and returns the stop signal that arrived, or 0.
    using StopWait = std::function<int(int64_t)>;
    // Fade-out and fade-in of a switch, in ms.
    static constexpr unsigned kFadeMs = 500;

    // engine_init: what the engine was initialized with.
    explicit CItemSwitcher(OrvanePlayer::PlayerInit engine_init);

    // Fades the current item out and stops it. False when a stop signal came meanwhile
    // (StopSignal() says which); true otherwise, idle or not.
    bool FadeOut(OrvanePlayer::IPlayer& player, const StopWait& wait_for_stop);

    enum class StartResult { kStarted, kFellBack, kEngineLost };
    // Starts next with a fade in. When the engine cannot be initialized for next, it goes
    // back to what it had and plays previous (kFellBack), or is lost (kEngineLost).
    StartResult Start(OrvanePlayer::IPlayer& player, const PlayerSetup& next,
                      const PlayerSetup& previous);
    // Hands setup's item to the engine and starts it with a fade in.
    static void Play(OrvanePlayer::IPlayer& player, const PlayerSetup& setup);

    int StopSignal() const { return m_stop_signal; }

private:
    bool WaitIdle(OrvanePlayer::IPlayer& player, const StopWait& wait_for_stop, int64_t limit_ms);

    OrvanePlayer::PlayerInit m_engine_init;  // what the engine was last initialized with
    int m_stop_signal = 0;
};

}  // namespace app
