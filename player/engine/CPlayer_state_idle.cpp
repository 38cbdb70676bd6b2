#include "player/engine/CPlayer_state_idle.h"

#include "player/engine/CPlayer.h"

using namespace OrvanePlayer;

CPlayer_state_idle::CPlayer_state_idle(CPlayer* player) : APlayerState(player, PLAYER_STATE_IDLE) {}

void CPlayer_state_idle::on_entry() {
    ClearInterruptOnEntry();
    m_player->ClearPlaybackTexts();
}

void CPlayer_state_idle::on_exit() { ClearInterruptOnExit(); }

void CPlayer_state_idle::SetNewPlaylist(bool) { m_player->OpenPlaylist(Caller("::SetNewPlaylist():")); }

void CPlayer_state_idle::Play() { ChangeTo(PLAYER_STATE_CONNECTING); }

void CPlayer_state_idle::PlayNext() {
    if (!m_player->MoveTrackUp(Caller("::PlayNext():"), true)) ChangeTo(PLAYER_STATE_CONNECTING);
}

void CPlayer_state_idle::PlayPrevious() {
    m_player->MoveTrackDown(Caller("::PlayPrevious():"));
    ChangeTo(PLAYER_STATE_CONNECTING);
}
