#include "app/CConfigReload.h"

#include <syslog.h>

#include <cstdio>
#include <utility>

#include "app/CTestPlayerDelegate.h"
#include "app/Report.h"
#include "app/TlsSetup.h"
#include "player/include/PlayerFactory.h"
#include "player/include/PlayerStates.h"

namespace app {

namespace {

bool IsUrl(const std::string& name) { return name.find("://") != std::string::npos; }

}  // namespace

CConfigReload::CConfigReload(std::string config_path, std::string media_root, int32_t channel,
                             PlayerSetup current, CItemSwitcher& switcher)
    : m_config_path(std::move(config_path)),
      m_media_root(std::move(media_root)),
      m_channel(channel),
      m_current(std::move(current)),
      m_switcher(switcher) {}

CConfigReload::Result CConfigReload::Reload(OrvanePlayer::IPlayer& player,
                                            CTestPlayerDelegate& delegate,
                                            const StopWait& wait_for_stop) {
    Report(LOG_NOTICE, "Hangup signal (1) received, reading the configuration " + m_config_path +
                           " again.");
    PlayerSetup next;
    SetEntryDefaults(next.item, next.params, next.init);
    ConfigFailure failure = ConfigFailure::kNone;
    if (ReadConfiguration(m_config_path, m_media_root, next.item, next.params, next.init,
                          Console(), &failure) != 0) {
        Refuse(player, delegate, failure);
        return Result::kRefused;
    }
    if (m_channel != 0) next.init.player_id = m_channel;
    if (IsUrl(next.item.name)) ReadBackupSources(m_config_path, m_media_root, next.backups);
    next.rtp_source = ReadRtpSource(m_config_path, Console());
    // The checks apply from the next connection on, whatever else changes or not.
    ApplyTlsSettings(player, ReadTlsSettings(m_config_path));

    OrvanePlayer::PlaybackInfo info;
    player.GetPlaybackInfo(info);
    delegate.SetConfigurationError(info, 0);
    if (SameSetup(next, m_current)) {
        Report(LOG_NOTICE, "The configuration is unchanged, playing on.");
        return Result::kUnchanged;
    }
    PlayerSetup same_item = next;
    same_item.backups = m_current.backups;
    if (SameSetup(same_item, m_current)) {
        Report(LOG_NOTICE, "The backup sources changed, " + next.item.name + " plays on.");
        m_current = next;
        return Result::kBackupsChanged;
    }
    Report(LOG_NOTICE, "Switching to " + next.item.name + ".");
    if (!m_switcher.FadeOut(player, wait_for_stop)) return Result::kStopped;
    switch (m_switcher.Start(player, next, m_current)) {
        case CItemSwitcher::StartResult::kStarted:
            break;
        case CItemSwitcher::StartResult::kFellBack:
            Report(LOG_ERR, "The player could not be initialized for " + next.item.name +
                                ", going back to " + m_current.item.name + ".");
            return Result::kRefused;
        case CItemSwitcher::StartResult::kEngineLost:
            Report(LOG_ERR, "The player could not be initialized again.");
            return Result::kEngineLost;
    }
    m_current = next;
    return Result::kSwitched;
}

void CConfigReload::Refuse(OrvanePlayer::IPlayer& player, CTestPlayerDelegate& delegate,
                           ConfigFailure failure) {
    Report(LOG_ERR, std::string("The configuration cannot be used (") +
                        ConfigFailureText(failure) + "): " + m_current.item.name +
                        " plays on.");
    OrvanePlayer::PlaybackInfo info;
    player.GetPlaybackInfo(info);
    delegate.SetConfigurationError(info, kConfigErrorBase - static_cast<int>(failure));
}

}  // namespace app
