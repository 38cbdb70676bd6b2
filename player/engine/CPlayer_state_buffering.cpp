#include "player/engine/CPlayer_state_buffering.h"

#include "player/engine/CPlayer.h"
#include "utils/CLogger.h"

using namespace OrvanePlayer;

CPlayer_state_buffering::CPlayer_state_buffering(CPlayer* player)
    : APlayerState(player, PLAYER_STATE_BUFFERING) {}

void CPlayer_state_buffering::on_entry() {
    utils::logger.info("%s %s URL buffering, setting autofading.\n", m_player->get_player_prefix(),
                       GetName().c_str());
    // After a reconnection whose buffered audio never stopped, at its volume, there is
    // nothing to fade in: the fade would start from silence in the middle of what is heard.
    if (!m_player->AudioCarriesOn())
        m_player->SetupStreamAutoFade();
    else
        utils::logger.info("%s %s the buffered audio plays on: no fade-in.\n", m_player->get_player_prefix(),
                           GetName().c_str());
}

void CPlayer_state_buffering::SetNewPlaylist(bool) { CloseAndOpenList("::SetNewPlaylist():"); }

void CPlayer_state_buffering::Stop(bool) {
    ChangeTo(PLAYER_STATE_IDLE);
    m_player->CloseTrack();
    LogStop();
}

void CPlayer_state_buffering::Pause() { Stop(true); }

void CPlayer_state_buffering::PlayNext() {
    m_player->CloseTrack();
    NextOrIdle("::PlayNext():");
}

void CPlayer_state_buffering::PlayPrevious() {
    m_player->CloseTrack();
    m_player->MoveTrackDown(Caller("::PlayPrevious():"));
    ChangeTo(PLAYER_STATE_CONNECTING);
}

void CPlayer_state_buffering::Process() {
    const int result = m_player->ProcessTrack();
    if (result > 0) {
        if (!m_player->OutputIsPrebuffering()) ChangeTo(PLAYER_STATE_PLAYING);
        return;
    }
    LogFinished(result);
    if (!m_player->ClearCustomInterrupt()) {
        PlayNext();
        return;
    }
    utils::logger.notice("%s  id=%d, state=%s, %s :stopping becasue of an interrupt.\n",
                         m_player->get_player_prefix(), m_player->get_player_id(),
                         GetName().c_str(), m_player->CurrentTrack().c_str());
    Stop(true);
}
