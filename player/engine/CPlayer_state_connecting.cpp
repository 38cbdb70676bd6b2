#include "player/engine/CPlayer_state_connecting.h"

#include "player/engine/CPlayer.h"
#include "utils/CLogger.h"

using namespace OrvanePlayer;

CPlayer_state_connecting::CPlayer_state_connecting(CPlayer* player)
    : APlayerState(player, PLAYER_STATE_CONNECTING) {}

void CPlayer_state_connecting::on_entry() {
    m_player->ClearSourceTags();
    if (m_player->PlaylistHasTracks()) {
        m_player->LoadPlaybackInfo(false);
        return;
    }
    utils::logger.info(
        "%s  id=%d, state=%s, CPlayer_state_connecting::on_entry(): item with 0 tracks in use! "
        "Switching back to idle.\n",
        m_player->get_player_prefix(), m_player->get_player_id(), GetName().c_str());
    m_player->LoadPlaybackInfo(true);
    ChangeTo(PLAYER_STATE_IDLE);
}

void CPlayer_state_connecting::on_exit() { ClearInterruptOnExit(); }

void CPlayer_state_connecting::SetNewPlaylist(bool) { CloseAndOpenList("::SetNewPlaylist():"); }

void CPlayer_state_connecting::Stop(bool) {
    ChangeTo(PLAYER_STATE_IDLE);
    m_player->CloseTrack();
    LogStop();
}

void CPlayer_state_connecting::Pause() { Stop(true); }

void CPlayer_state_connecting::PlayNext() {
    m_player->CloseTrack();
    if (m_player->MoveTrackUp(Caller("::PlayNext():"), true))
        ChangeTo(PLAYER_STATE_IDLE);
    else
        m_player->LoadPlaybackInfo(false);
}

void CPlayer_state_connecting::PlayPrevious() {
    m_player->CloseTrack();
    m_player->MoveTrackDown(Caller("::PlayPrevious():"));
    m_player->LoadPlaybackInfo(false);
}

void CPlayer_state_connecting::Process() {
    const bool opened = m_player->OpenTrack(Caller("::Process():"));
    m_last_result = opened ? 0 : -1;
    // OpenTrack itself returns to idle when there is nothing to open.
    if (m_player->CurrentState() != this) return;
    if (opened) {
        if (m_player->TrackIsStream()) {
            ChangeTo(PLAYER_STATE_BUFFERING);
        } else {
            m_player->RememberTrackDuration();
            ChangeTo(PLAYER_STATE_PLAYING);
        }
        return;
    }
    utils::logger.notice("%s  id=%d, state=%s, OpenTrack() for %s finished with errors.\n",
                         m_player->get_player_prefix(), m_player->get_player_id(),
                         GetName().c_str(), m_player->CurrentTrack().c_str());
    if (m_player->TrackIsStream()) {
        utils::logger.info("%s %s::Process(): Changing to Retry state for URL %s.\n",
                           m_player->get_player_prefix(), GetName().c_str(),
                           m_player->CurrentTrack().c_str());
        ChangeTo(PLAYER_STATE_WAIT);
    } else {
        PlayNext();
    }
}
