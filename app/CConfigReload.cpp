#include "app/CConfigReload.h"

#include <syslog.h>

#include <cstdio>
#include <utility>

#include "app/CTestPlayerDelegate.h"
#include "app/TlsSetup.h"
#include "player/include/PlayerFactory.h"
#include "player/include/PlayerStates.h"

namespace app {

namespace {

constexpr int64_t kPollMs = 50;
// The engine stops within a few of its 50 ms passes once the fade has ended.
constexpr int64_t kStopGraceMs = 2000;

bool IsUrl(const std::string& name) { return name.find("://") != std::string::npos; }

int32_t PlayerState(OrvanePlayer::IPlayer& player) {
    OrvanePlayer::PlaybackInfo info;
    player.GetPlaybackInfo(info);
    return info.m_player_state;
}

// Console and system log (the engine opened it for the process) get the same line.
void Report(int priority, const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    syslog(priority, "%s", text.c_str());
}

}  // namespace

bool SameSetup(const PlayerSetup& a, const PlayerSetup& b) {
    return a.item.name == b.item.name && a.item.volume == b.item.volume &&
           a.item.repeat_count == b.item.repeat_count &&
           a.params.rtp_delay_ms == b.params.rtp_delay_ms && a.params.rtp_source == b.params.rtp_source &&
           a.init.playlist_dir == b.init.playlist_dir && a.init.media_dir == b.init.media_dir &&
           a.init.player_id == b.init.player_id;
}

CConfigReload::CConfigReload(std::string config_path, std::string media_root, int32_t channel,
                             PlayerSetup current)
    : m_config_path(std::move(config_path)),
      m_media_root(std::move(media_root)),
      m_channel(channel),
      m_current(std::move(current)),
      m_engine_init(m_current.init) {}

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
    // The checks apply from the next connection on, whatever else changes or not.
    ApplyTlsSettings(player, ReadTlsSettings(m_config_path));

    OrvanePlayer::PlaybackInfo info;
    player.GetPlaybackInfo(info);
    delegate.SetConfigurationError(info, 0);
    if (SameSetup(next, m_current)) {
        Report(LOG_NOTICE, "The configuration is unchanged, playing on.");
        return Result::kUnchanged;
    }
    Report(LOG_NOTICE, "Switching to " + next.item.name + ".");
    if (!FadeOut(player, wait_for_stop)) return Result::kStopped;
    switch (Start(player, next)) {
        case StartResult::kStarted:
            break;
        case StartResult::kFellBack:
            Report(LOG_ERR, "The player could not be initialized for " + next.item.name +
                                ", going back to " + m_current.item.name + ".");
            return Result::kRefused;
        case StartResult::kEngineLost:
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

// A fade needs a playing track; a player that is connecting, buffering or waiting would
// only keep the fade for its next start, so it is stopped at once.
bool CConfigReload::FadeOut(OrvanePlayer::IPlayer& player, const StopWait& wait_for_stop) {
    const int32_t state = PlayerState(player);
    if (state == OrvanePlayer::PLAYER_STATE_IDLE) return true;
    if (state == OrvanePlayer::PLAYER_STATE_PLAYING || state == OrvanePlayer::PLAYER_STATE_ENDING) {
        player.FadeAndStop(kFadeMs, 0);
        if (!WaitIdle(player, wait_for_stop, kFadeMs + kStopGraceMs)) return false;
        if (PlayerState(player) == OrvanePlayer::PLAYER_STATE_IDLE) return true;
    }
    player.Stop(true);
    return WaitIdle(player, wait_for_stop, kStopGraceMs);
}

// False when a stop signal came meanwhile; true otherwise, idle or not.
bool CConfigReload::WaitIdle(OrvanePlayer::IPlayer& player, const StopWait& wait_for_stop,
                             int64_t limit_ms) {
    for (int64_t waited = 0; waited < limit_ms; waited += kPollMs) {
        if (PlayerState(player) == OrvanePlayer::PLAYER_STATE_IDLE) return true;
        m_stop_signal = wait_for_stop(kPollMs);
        if (m_stop_signal != 0) return false;
    }
    return true;
}

// The engine takes its folders only when it is initialized: a folder playlist elsewhere
// needs a new initialization; a stream plays in whatever folders the engine has. When the
// new initialization fails, the engine goes back to what it had and plays the old item.
CConfigReload::StartResult CConfigReload::Start(OrvanePlayer::IPlayer& player,
                                                const PlayerSetup& next) {
    const bool other_folders = next.init.playlist_dir != m_engine_init.playlist_dir ||
                               next.init.media_dir != m_engine_init.media_dir ||
                               next.init.player_id != m_engine_init.player_id;
    if (!IsUrl(next.item.name) && other_folders) {
        OrvanePlayer::DeinitializePlayer(player);
        if (OrvanePlayer::InitializePlayer(player, next.init, next.params) != 0) {
            OrvanePlayer::DeinitializePlayer(player);
            if (OrvanePlayer::InitializePlayer(player, m_engine_init, m_current.params) != 0)
                return StartResult::kEngineLost;
            Play(player, m_current);
            return StartResult::kFellBack;
        }
        m_engine_init = next.init;
    }
    Play(player, next);
    return StartResult::kStarted;
}

void CConfigReload::Play(OrvanePlayer::IPlayer& player, const PlayerSetup& setup) {
    player.SetStreamParams(setup.params);
    player.SetItem(setup.item);
    player.FadeAndPlay(kFadeMs, 0, setup.item.volume);
}

}  // namespace app
