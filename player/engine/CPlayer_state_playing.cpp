#include "player/engine/CPlayer_state_playing.h"

#include "player/engine/CPlayer.h"
#include "utils/CLogger.h"

using namespace OrvanePlayer;

CPlayer_state_playing::CPlayer_state_playing(CPlayer* player)
    : APlayerState(player, PLAYER_STATE_PLAYING) {}

void CPlayer_state_playing::on_entry() {
    m_stop_at_end = false;
    m_player->LoadPlaybackInfo(true);
    if (!m_player->TrackIsStream()) {
        m_player->SetupTrackAutoFade();
        return;
    }
    utils::logger.notice(
        "%s PLAYBACK CPlayer_state_playing::on_entry(): id=%d, state=%s, starting fading stream. \n",
        m_player->get_player_prefix(), m_player->get_player_id(), GetName().c_str());
    m_player->StartPreparedFading();
}

void CPlayer_state_playing::on_exit() {
    m_stop_at_end = false;
    ClearInterruptOnExit();
}

void CPlayer_state_playing::SetNewPlaylist(bool interrupt) {
    if (interrupt)
        CloseAndOpenList("::SetNewPlaylist():");
    else
        ChangeTo(PLAYER_STATE_ENDING);
}

void CPlayer_state_playing::Stop(bool immediately) {
    if (!immediately) {
        utils::logger.info("%s CPlayer_state_playing::Stop(): Requesting a Stop at song end.\n",
                           m_player->get_player_prefix());
        m_stop_at_end = true;
        return;
    }
    utils::logger.info("%s CPlayer_state_playing::Stop(): Stopping now.\n",
                       m_player->get_player_prefix());
    ChangeTo(PLAYER_STATE_IDLE);
    m_player->CloseTrack();
    LogStop();
}

void CPlayer_state_playing::Pause() {
    ChangeTo(PLAYER_STATE_PAUSED);
    utils::logger.notice("%s  id=%d, state=%s, %s :paused.\n", m_player->get_player_prefix(),
                         m_player->get_player_id(), GetName().c_str(),
                         m_player->CurrentTrack().c_str());
}

void CPlayer_state_playing::PlayNext() {
    m_player->CloseTrack();
    NextOrIdle("::PlayNext():");
}

void CPlayer_state_playing::PlayPrevious() {
    m_player->CloseTrack();
    m_player->MoveTrackDown(Caller("::PlayPrevious():"));
    ChangeTo(PLAYER_STATE_CONNECTING);
}

void CPlayer_state_playing::Process() {
    const int result = m_player->ProcessTrack();
    if (result > 0) {
        if (m_player->OutputIsPrebuffering()) {
            // An under-run: the stream goes back to filling its buffer.
            ChangeTo(PLAYER_STATE_BUFFERING);
            m_player->NotifyAudioStreamFinished();
        }
        return;
    }
    LogFinished(result);
    if (m_stop_at_end) {
        m_stop_at_end = false;
        utils::logger.info("%s CPlayer_state_playing::Process(): Stopping at song end.\n",
                           m_player->get_player_prefix());
        ChangeTo(PLAYER_STATE_IDLE);
        m_player->CloseTrack();
        m_player->MoveTrackUp(Caller("::Process():"), true);
        LogStop();
    } else if (m_player->ClearCustomInterrupt()) {
        utils::logger.notice("%s  id=%d, state=%s, %s :stopping because of an interrupt.\n",
                             m_player->get_player_prefix(), m_player->get_player_id(),
                             GetName().c_str(), m_player->CurrentTrack().c_str());
        Stop(true);
    } else {
        utils::logger.notice("%s \nGoing to the next ......\n\n", m_player->get_player_prefix());
        PlayNext();
    }
}
