// CPlayer: the command queue and what each command does on the player thread.
#include <cstring>

#include "player/engine/APlayerState.h"
#include "player/engine/CPlayer.h"
#include "player/playlist/CPlaylistFileMap.h"
#include "player/source/CAudioSource.h"
#include "player/volume/CFaderAdapter.h"
#include "player/volume/CVolumeControlAdapter.h"
#include "utils/CLogger.h"

using namespace OrvanePlayer;

void CPlayer::PostCommand(uint16_t code) { PostCommand(code, std::string()); }

void CPlayer::PostCommand(uint16_t code, const std::string& argument) {
    m_queue.Put(code, argument);
    // The queue lets one message past its capacity; the player keeps at most 50.
    if (m_queue.Count() > kQueueCapacity) m_queue.DropOldest();
}

void CPlayer::ProcessCommands() {
    if (m_queue.Count() == 0) return;
    std::string argument;
    while (m_queue.Count() > 0) {
        argument.clear();
        const int code = m_queue.Get(argument);
        if (code < 0) break;
        ExecuteCommand(code, argument);
    }
    IPlayerDelegate* delegate = m_delegate;
    if (!delegate) return;
    utils::logger.notice("%s id=%d, state=%s, NotifyPlaybackCommandExecuted() called\n", get_player_prefix(),
                         get_player_id(), StateName());
    delegate->NotifyPlaybackCommandExecuted(InfoCopy());
}

void CPlayer::AbortFading() { m_fader->Abort(); }

// Commands that start no playback keep a fade that is only set up (FadeAndPlay while not
// playing): it is the fade-in of the play that follows, and aborting it would jump to its
// target at once. A stop left queued from before a reload would otherwise do just that.
void CPlayer::AbortRunningFading() { m_fader->AbortRunning(); }

void CPlayer::DropAudioFor(int code) {
    bool cut = false;
    switch (code) {
        case CMD_SET_PLAYLIST:
        case CMD_SET_SINGLE_ITEM: {
            utils::scoped_lock lock(*this);
            cut = m_interrupt;
            break;
        }
        case CMD_STOP:
            cut = m_stop_immediately;
            break;
        case CMD_NEXT:
        case CMD_PREVIOUS:
            cut = true;
            break;
        default:
            break;
    }
    // Before the state acts: its own StopAudio would otherwise play the tail out.
    if (cut && m_output) OutputDrop();
}

void CPlayer::ExecuteCommand(int code, const std::string& argument) {
    DropAudioFor(code);
    switch (code) {
        case CMD_SET_PLAYLIST:
        case CMD_SET_SINGLE_ITEM:
            AbortRunningFading();
            SetNewItem(code, argument);
            break;
        case CMD_PLAY:
            AbortFading();
            m_state->Play();
            break;
        case CMD_PAUSE:
            AbortRunningFading();
            m_state->Pause();
            break;
        case CMD_STOP:
            AbortRunningFading();
            m_state->Stop(m_stop_immediately);
            break;
        case CMD_NEXT:
            AbortFading();
            m_state->PlayNext();
            break;
        case CMD_PREVIOUS:
            AbortFading();
            m_state->PlayPrevious();
            break;
        case CMD_VOLUME: {
            AbortFading();
            uint16_t percent = 0;
            if (argument.size() >= sizeof(percent)) std::memcpy(&percent, argument.data(), sizeof(percent));
            ExecuteVolume(percent);
            break;
        }
        case CMD_VOLUME_DB: {
            AbortFading();
            int32_t db = 0;
            if (argument.size() >= sizeof(db)) std::memcpy(&db, argument.data(), sizeof(db));
            ExecuteVolumeDb(db);
            break;
        }
        case CMD_SHUFFLE_ON:
        case CMD_SHUFFLE_OFF: {
            utils::scoped_lock lock(*this);
            m_shuffle = code == CMD_SHUFFLE_ON;
            if (m_shuffle)
                m_playlist->Shuffle();
            else
                m_playlist->DontShuffle();
            break;
        }
        case CMD_RELOAD: {
            utils::scoped_lock lock(*this);
            m_playlist->ParsePlaylist(m_item_name, false);
            break;
        }
        case CMD_STREAM_PARAMS:
            ApplyStreamParams();
            break;
        case CMD_PLAY_FADED:
            // Keeps the fade that FadeAndPlay has just prepared.
            m_state->Play();
            break;
        case CMD_STREAM_TIMEOUT:
            ExecuteStreamTimeout();
            break;
        case CMD_REBUFFER:
            if (m_source) m_source->DeInitialize();
            // A new buffer is asked for: the reconnection must not carry the old one on.
            if (m_output) OutputDrop();
            SetState(m_connecting.get());
            break;
        default:
            break;
    }
}

void CPlayer::SetNewItem(int code, const std::string& argument) {
    bool interrupt = true;
    {
        utils::scoped_lock lock(*this);
        m_info.m_repeat_count = m_item.repeat_count < 0 ? -1 : m_item.repeat_count;
        m_info.m_request_id = m_item.request_id;
        if (code == CMD_SET_PLAYLIST) {
            m_item_name = argument;
        } else {
            m_item_name.clear();
            m_single_item_name = argument;
        }
        interrupt = m_interrupt;
    }
    m_refusals = 0;  // a new item gets its first retry at the usual pace
    m_state->SetNewPlaylist(interrupt);
}

void CPlayer::ExecuteVolume(uint16_t percent) {
    if (m_volume->SetOutputVolume(percent) < 0) {
        NotifyError(EPLAYER_SET_VOLUME);
        return;
    }
    utils::scoped_lock lock(*this);
    m_target_volume = percent;
    m_info.m_curr_volume = percent;
}

void CPlayer::ExecuteVolumeDb(int32_t db) {
    if (m_volume->SetOutputVolume_db(db) < 0) {
        NotifyError(EPLAYER_SET_VOLUME);
        return;
    }
    const uint16_t percent = GetVolume();
    utils::scoped_lock lock(*this);
    m_target_volume = percent;
    m_info.m_curr_volume = percent;
}

void CPlayer::ExecuteStreamTimeout() {
    if (m_source) m_source->SetFailure(OrvanePlayer::FAILURE_TIMEOUT, "time-out: the stream stopped sending");
    PublishFailure(EPLAYER_SOURCE_TIMEOUT, "ExecuteStreamTimeout");
    if (m_source) m_source->DeInitialize();
    IPlayerDelegate* delegate = m_delegate;
    if (!delegate) return;
    PlaybackInfo info;
    {
        utils::scoped_lock lock(*this);
        info.m_playlist_name = m_item_name;
        info.m_curr_music_file = m_current_track;
    }
    delegate->NotifyPlaybackError(info, EPLAYER_SOURCE_TIMEOUT);
}
