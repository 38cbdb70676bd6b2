#include "app/CItemSwitcher.h"

#include <utility>

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

}  // namespace

bool SameSetup(const PlayerSetup& a, const PlayerSetup& b) {
    return a.item.name == b.item.name && a.item.volume == b.item.volume &&
           a.item.repeat_count == b.item.repeat_count &&
           a.params.rtp_delay_ms == b.params.rtp_delay_ms && a.rtp_source == b.rtp_source &&
           a.init.playlist_dir == b.init.playlist_dir && a.init.media_dir == b.init.media_dir &&
           a.init.player_id == b.init.player_id && a.backups == b.backups;
}

CItemSwitcher::CItemSwitcher(OrvanePlayer::PlayerInit engine_init)
    : m_engine_init(std::move(engine_init)) {}

// A fade needs a playing track; a player that is connecting, buffering or waiting would
// only keep the fade for its next start, so it is stopped at once.
bool CItemSwitcher::FadeOut(OrvanePlayer::IPlayer& player, const StopWait& wait_for_stop) {
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

bool CItemSwitcher::WaitIdle(OrvanePlayer::IPlayer& player, const StopWait& wait_for_stop,
                             int64_t limit_ms) {
    for (int64_t waited = 0; waited < limit_ms; waited += kPollMs) {
        if (PlayerState(player) == OrvanePlayer::PLAYER_STATE_IDLE) return true;
        m_stop_signal = wait_for_stop(kPollMs);
        if (m_stop_signal != 0) return false;
    }
    return true;
}

// The engine takes its folders only when it is initialized: a folder playlist elsewhere
// needs a new initialization; a stream plays in whatever folders the engine has.
CItemSwitcher::StartResult CItemSwitcher::Start(OrvanePlayer::IPlayer& player,
                                                const PlayerSetup& next,
                                                const PlayerSetup& previous) {
    const bool other_folders = next.init.playlist_dir != m_engine_init.playlist_dir ||
                               next.init.media_dir != m_engine_init.media_dir ||
                               next.init.player_id != m_engine_init.player_id;
    if (!IsUrl(next.item.name) && other_folders) {
        OrvanePlayer::DeinitializePlayer(player);
        if (OrvanePlayer::InitializePlayer(player, next.init, next.params) != 0) {
            OrvanePlayer::DeinitializePlayer(player);
            if (OrvanePlayer::InitializePlayer(player, m_engine_init, previous.params) != 0)
                return StartResult::kEngineLost;
            Play(player, previous);
            return StartResult::kFellBack;
        }
        m_engine_init = next.init;
    }
    Play(player, next);
    return StartResult::kStarted;
}

void CItemSwitcher::Play(OrvanePlayer::IPlayer& player, const PlayerSetup& setup) {
    player.SetStreamParams(setup.params);
    OrvanePlayer::SetRtpSource(player, setup.rtp_source);
    player.SetItem(setup.item);
    player.FadeAndPlay(kFadeMs, 0, setup.item.volume);
}

}  // namespace app
