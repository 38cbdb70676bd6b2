#include "player/engine/CPlayer_state_wait.h"

#include <ctime>

#include "player/engine/CPlayer.h"
#include "utils/CLogger.h"

using namespace OrvanePlayer;

CPlayer_state_wait::CPlayer_state_wait(CPlayer* player) : APlayerState(player, PLAYER_STATE_WAIT) {}

void CPlayer_state_wait::on_entry() {
    utils::logger.notice("%s  id=%d, state=%s, resetting timeout", m_player->get_player_prefix(),
                         m_player->get_player_id(), GetName().c_str());
    m_entry_time = static_cast<uint32_t>(time(nullptr));
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
    const uint32_t now = static_cast<uint32_t>(time(nullptr));
    if (static_cast<int64_t>(now) - m_entry_time <= m_timeout_s) {
        m_player->suspend(50);
        return;
    }
    utils::logger.notice("%s  id=%d, state=%s, %ds timeout occurred.\n",
                         m_player->get_player_prefix(), m_player->get_player_id(),
                         GetName().c_str(), m_timeout_s);
    ChangeTo(PLAYER_STATE_CONNECTING);
}
