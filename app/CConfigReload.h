#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/CItemSwitcher.h"
#include "app/Configuration.h"
#include "player/include/IPlayer.h"

class CTestPlayerDelegate;

namespace app {

// Reads the configuration again on SIGHUP and moves the running player to what it names:
// the current item fades out, the new one starts with a fade in, within the same engine
// (initialized again only when a folder playlist lies in other folders). A configuration
// that cannot be used leaves the current item playing. Main thread only.
class CConfigReload final {
public:
    // Sleeps up to the given ms and returns the stop signal that arrived, or 0.
    using StopWait = CItemSwitcher::StopWait;

    // The files to read again, the channel from the command line (0: none), the setup
    // the player was started with and the switcher that moves the player (not owned).
    CConfigReload(std::string config_path, std::string media_root, int32_t channel,
                  PlayerSetup current, CItemSwitcher& switcher);

    // Fade-out and fade-in of a switch, in ms.
    static constexpr unsigned kFadeMs = CItemSwitcher::kFadeMs;
    // Error codes in the status file while a configuration read again cannot be used:
    // kConfigErrorBase minus the ConfigFailure's number (-1101 to -1104).
    static constexpr int kConfigErrorBase = -1100;

    enum class Result {
        kSwitched,     // the player moved to the new configuration
        kUnchanged,    // nothing to do
        kBackupsChanged,  // only the backup sources changed; the item plays on
        kRefused,      // the configuration could not be used; the current item plays on
        kStopped,      // a stop signal came during the switch (StopSignal() says which)
        kEngineLost,   // the engine could not be initialized again, not even as before
    };

    Result Reload(OrvanePlayer::IPlayer& player, CTestPlayerDelegate& delegate,
                  const StopWait& wait_for_stop);
    int StopSignal() const { return m_switcher.StopSignal(); }
    // The setup of the configuration in use.
    const PlayerSetup& Current() const { return m_current; }

private:
    void Refuse(OrvanePlayer::IPlayer& player, CTestPlayerDelegate& delegate,
                ConfigFailure failure);

    const std::string m_config_path;
    const std::string m_media_root;
    const int32_t m_channel;
    PlayerSetup m_current;
    CItemSwitcher& m_switcher;
};

}  // namespace app
