#include "player/engine/CPlayer_state_wait.h"

#include "player/engine/CPlayer.h"
#include "utils/CLogger.h"
#include "utils/MonotonicClock.h"

using namespace OrvanePlayer;

CPlayer_state_wait::CPlayer_state_wait(CPlayer* player) : APlayerState(player, PLAYER_STATE_WAIT) {}

void CPlayer_state_wait::on_entry() {
    m_timeout_s = m_player->RetryPauseSeconds();
    utils::logger.notice("%s  id=%d, state=%s, resetting timeout", m_player->get_player_prefix(),
                         m_player->get_player_id(), GetName().c_str());
    m_entry_time = utils::monotonic_seconds();
}

void CPlayer_state_wait::SetNewPlaylist(bool) {
    m_player->CloseTrack();
    m_player->OpenPlaylist(Caller("::SetNewPlaylist():"));
    ChangeTo(PLAYER_STATE_IDLE);
}

void CPlayer_state_wait::Play() {
    utils::logger.info("%s %s::Play() : id=%d, state=%s, %s , Moving to connecting state .\n",
                       m_player->get_player_prefix(), GetName().c_str(), m_player->get_player_id(),
                       GetName().c_str(), m_player->CurrentTrack().c_str());
    ChangeTo(PLAYER_STATE_CONNECTING);
}

void CPlayer_state_wait::Stop(bool) {
    ChangeTo(PLAYER_STATE_IDLE);
    m_player->CloseTrack();
    LogStop();
}

void CPlayer_state_wait::Pause() { Stop(true); }

void CPlayer_state_wait::PlayNext() {
    m_player->CloseTrack();
    NextOrIdle("::PlayNext():");
}

void CPlayer_state_wait::PlayPrevious() {
    m_player->CloseTrack();
    m_player->MoveTrackDown(Caller("::PlayPrevious():"));
    ChangeTo(PLAYER_STATE_CONNECTING);
}

void CPlayer_state_wait::Process() {
    // The retry waits on the monotonic clock: a step of the wall clock must not stop it.
    if (utils::monotonic_seconds() - m_entry_time <= m_timeout_s) {
        // The audio buffered before the connection was lost plays on meanwhile.
        m_player->SuspendFeedingStream(50);
        return;
    }
    utils::logger.notice("%s  id=%d, state=%s, %ds timeout occurred.\n",
                         m_player->get_player_prefix(), m_player->get_player_id(),
                         GetName().c_str(), m_timeout_s);
    ChangeTo(PLAYER_STATE_CONNECTING);
}
