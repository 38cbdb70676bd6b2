#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/Configuration.h"
#include "player/include/IPlayer.h"

class CTestPlayerDelegate;

namespace app {

// What the program plays, as read from its configuration: the records handed to the
// engine. Compared to find out whether a configuration read again changes anything.
struct PlayerSetup {
    OrvanePlayer::PlaybackItem item;
    OrvanePlayer::StreamParams params;
    OrvanePlayer::PlayerInit init;
};

// Reads the configuration again on SIGHUP and moves the running player to what it names:
// the current item fades out, the new one starts with a fade in, within the same engine
// (initialized again only when a folder playlist lies in other folders). A configuration
// that cannot be used leaves the current item playing. Main thread only.
class CConfigReload final {
public:
    // Sleeps up to the given ms and returns the stop signal that arrived, or 0.
    using StopWait = std::function<int(int64_t)>;

    // The files to read again, the channel from the command line (0: none) and the setup
    // the player was started with.
    CConfigReload(std::string config_path, std::string media_root, int32_t channel,
                  PlayerSetup current);

    // Fade-out and fade-in of a switch, in ms.
    static constexpr unsigned kFadeMs = 500;
    // Error codes in the status file while a configuration read again cannot be used:
    // kConfigErrorBase minus the ConfigFailure's number (-1101 to -1104).
    static constexpr int kConfigErrorBase = -1100;

    enum class Result {
        kSwitched,     // the player moved to the new configuration
        kUnchanged,    // nothing to do
        kRefused,      // the configuration could not be used; the current item plays on
        kStopped,      // a stop signal came during the switch (StopSignal() says which)
        kEngineLost,   // the engine could not be initialized again, not even as before
    };

    Result Reload(OrvanePlayer::IPlayer& player, CTestPlayerDelegate& delegate,
                  const StopWait& wait_for_stop);
    int StopSignal() const { return m_stop_signal; }

private:
    bool FadeOut(OrvanePlayer::IPlayer& player, const StopWait& wait_for_stop);
    bool WaitIdle(OrvanePlayer::IPlayer& player, const StopWait& wait_for_stop, int64_t limit_ms);
    enum class StartResult { kStarted, kFellBack, kEngineLost };
    StartResult Start(OrvanePlayer::IPlayer& player, const PlayerSetup& next);
    static void Play(OrvanePlayer::IPlayer& player, const PlayerSetup& setup);
    void Refuse(OrvanePlayer::IPlayer& player, CTestPlayerDelegate& delegate,
                ConfigFailure failure);

    const std::string m_config_path;
    const std::string m_media_root;
    const int32_t m_channel;
    PlayerSetup m_current;
    OrvanePlayer::PlayerInit m_engine_init;  // what the engine was last initialized with
    int m_stop_signal = 0;
};

// True when both setups would play the same thing the same way.
bool SameSetup(const PlayerSetup& a, const PlayerSetup& b);

}  // namespace app
