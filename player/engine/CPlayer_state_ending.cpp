#include "player/engine/CPlayer_state_ending.h"

#include "player/engine/CPlayer.h"
#include "utils/CLogger.h"

using namespace OrvanePlayer;

CPlayer_state_ending::CPlayer_state_ending(CPlayer* player)
    : APlayerState(player, PLAYER_STATE_ENDING) {}

void CPlayer_state_ending::SetNewPlaylist(bool interrupt) {
    if (interrupt) CloseAndOpenList("::SetNewPlaylist():");
}

void CPlayer_state_ending::Stop(bool immediately) {
    if (!immediately) return;
    ChangeTo(PLAYER_STATE_IDLE);
    m_player->CloseTrack();
    LogStop();
    m_player->OpenPlaylist(Caller("::Stop():"));
}

void CPlayer_state_ending::Pause() {
    ChangeTo(PLAYER_STATE_IDLE);
    m_player->CloseTrack();
    LogStop();
    m_player->OpenPlaylist(Caller("::Pause():"));
}

void CPlayer_state_ending::PlayNext() { SetNewPlaylist(true); }

void CPlayer_state_ending::PlayPrevious() { SetNewPlaylist(true); }

void CPlayer_state_ending::Process() {
    const int result = m_player->ProcessTrack();
    if (result > 0) return;
    const std::string track = m_player->CurrentTrack();
    if (result == 0)
        utils::logger.notice("%s  id=%d, state=%s, %s :finished.\n", m_player->get_player_prefix(),
                             m_player->get_player_id(), GetName().c_str(), track.c_str());
    else
        utils::logger.info("%s  id=%d, state=%s, %s :finished with errors.\n",
                           m_player->get_player_prefix(), m_player->get_player_id(),
                           GetName().c_str(), track.c_str());
    SetNewPlaylist(true);
}
