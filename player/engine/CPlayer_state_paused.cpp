#include "player/engine/CPlayer_state_paused.h"

#include "player/engine/CPlayer.h"

using namespace OrvanePlayer;

CPlayer_state_paused::CPlayer_state_paused(CPlayer* player)
    : APlayerState(player, PLAYER_STATE_PAUSED) {}

void CPlayer_state_paused::on_entry() { ClearInterruptOnEntry(); }

void CPlayer_state_paused::on_exit() { ClearInterruptOnExit(); }

void CPlayer_state_paused::SetNewPlaylist(bool) { CloseAndOpenList("::SetNewPlaylist():"); }

void CPlayer_state_paused::Play() {
    m_player->StartAudio();
    ChangeTo(PLAYER_STATE_PLAYING);
    m_player->LoadPlaybackInfo(false);
}

void CPlayer_state_paused::Stop(bool) {
    ChangeTo(PLAYER_STATE_IDLE);
    m_player->CloseTrack();
    LogStop();
}

void CPlayer_state_paused::PlayNext() {
    m_player->CloseTrack();
    LogStop();
    NextOrIdle("::PlayNext():");
}

void CPlayer_state_paused::PlayPrevious() {
    m_player->CloseTrack();
    LogStop();
    m_player->MoveTrackDown(Caller("::PlayPrevious():"));
    ChangeTo(PLAYER_STATE_CONNECTING);
}
