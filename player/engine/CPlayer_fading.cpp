// CPlayer: the playback callback inside blocking source operations and the automatic fades.
#include "player/engine/APlayerState.h"
#include "player/engine/CPlayer.h"
#include "player/output/CPCMOutputBuffered.h"
#include "player/source/CAudioSource.h"
#include "player/volume/CFaderAdapter.h"
#include "utils/CLogger.h"
#include "utils/MonotonicClock.h"

using namespace OrvanePlayer;

namespace {
int64_t monotonic_ms() {
    const timespec now = utils::monotonic_now();
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
}  // namespace

int CPlayer::PlaybackCallback(void* argument) {
    auto* player = static_cast<CPlayer*>(argument);
    if (!player || !player->m_source) {
        utils::logger.notice("%s PLAYBACK callback: player or audio source is NULL, quitting!\n",
                             player ? player->get_player_prefix() : "");
        return 1;
    }
    if (player->m_source->IsExpired()) {
        utils::logger.notice("%s PLAYBACK callback: time out detected, quitting!\n", player->get_player_prefix());
        return 1;
    }
    player->FeedStreamOutput();
    return 0;
}

void CPlayer::FeedStreamOutput() {
    CPCMOutputBuffered* buffered = m_buffered_output.get();
    if (!buffered || !m_buffered_current) return;
    buffered->alsa_write_audio_poll();
    uint32_t level = 0;
    // A failed level query (negative) says nothing about the level; the count of free
    // device frames it returns otherwise does not matter here.
    if (buffered->GetBufferedMs(&level) < 0 || buffered->IsPrebuffering()) return;
    const uint32_t threshold = m_low_buffer_threshold;
    if (level >= threshold) {
        m_low_buffer_latch = false;
        return;
    }
    if (!m_low_buffer_latch) {
        if (IPlayerDelegate* delegate = m_delegate) {
            delegate->NotifyPlaybackError(InfoCopy(), EPLAYER_STREAM_LOW_BUFFER_REACHED);
            utils::logger.warning("%s audio buffer reached low level: current=%ums, threshold=%ums",
                                  get_player_prefix(), level, threshold);
        }
        m_low_buffer_latch = true;
    }
}

void CPlayer::SuspendFeedingStream(uint32_t ms) {
    const int64_t end = monotonic_ms() + ms;
    for (;;) {
        const int64_t left = end - monotonic_ms();
        if (left <= 0) return;
        FeedStreamOutput();
        CPCMOutputBuffered* buffered = m_buffered_current ? m_buffered_output.get() : nullptr;
        if (!buffered || !buffered->WaitForDevice(static_cast<int>(left))) {
            suspend(static_cast<uint32_t>(left));
            return;
        }
    }
}

void CPlayer::PrepareFader(const FadeRequest& request) {
    const char* prefix = get_player_prefix();
    utils::logger.warning("%s CPlayer::PrepareFader(): aborting pending fading and seting fading from %u >>>> %u.\n",
                          prefix, request.init, request.target);
    // The new fade starts from its own initial volume: jumping to the old one's target
    // first would be heard (a reload during a fade-in would blare at full volume).
    m_replacing_fade = true;
    m_fader->AbortKeepingVolume();
    m_replacing_fade = false;
    // The fader calls back into the player under its own lock, so the information lock
    // is never held while the fader's lock is taken.
    utils::logger.info("%s id=%d, CPlayer::PrepareFader() Setting up Fader.\n", prefix, get_player_id());
    m_fader->Setup(request);
    int32_t state = PLAYER_STATE_IDLE;
    {
        utils::scoped_lock lock(*this);
        state = m_info.m_player_state;
    }
    if (state == PLAYER_STATE_PLAYING || state == PLAYER_STATE_ENDING) {
        if (request.wait == 0)
            m_fader->StartFading();
        else
            m_fader->StartWait();
        utils::logger.info(
            "%s %s id=%d, CPlayer::PrepareFader(interval,volume) Player playing already, fading started "
            "immediately.\n",
            prefix, PlayerStateName(state), get_player_id());
    } else {
        utils::logger.info(
            "%s %s id=%d, CPlayer::PrepareFader() Player not playing right now, only setting up, should start on "
            "next play.\n",
            prefix, PlayerStateName(state), get_player_id());
    }
}

void CPlayer::SetupTrackAutoFade() {
    const char* prefix = get_player_prefix();
    if (!m_auto_fade_tracks) {
        utils::logger.info("%s PLAYBACK: AUTOFADE: Track auto-fading disabled", prefix);
        // A fade prepared by FadeAndPlay would otherwise never start and leave the
        // track at the fade's initial volume.
        StartPreparedFading();
        return;
    }
    utils::logger.info("%s PLAYBACK: AUTOFADE: id=%d, setting up automatic track fade in with duration 500 ms.\n",
                       prefix, get_player_id());
    if (IFadeListener* listener = m_fade_listener) listener->OnTrackFadeIn(InfoCopy());
    FadeRequest request;
    request.wait = 0;
    request.fading_duration = 500;
    request.init = 0;
    request.target = static_cast<uint32_t>(static_cast<int32_t>(m_target_volume));
    request.operation = FADE_END_TRACK_FADE_IN;
    PrepareFader(request);
}

void CPlayer::SetupStreamAutoFade() {
    const uint32_t fade_in_ms = GetStreamParams().fade_in_ms;
    if (!m_auto_fade_streams || fade_in_ms == 0) return;
    utils::logger.info("%s PLAYBACK: AUTOFADE: id=%d, setting up automatic stream fade in with duration %ums.\n",
                       get_player_prefix(), get_player_id(), fade_in_ms);
    FadeRequest request;
    request.wait = 0;
    request.fading_duration = fade_in_ms;
    request.init = 0;
    request.target = static_cast<uint32_t>(static_cast<int32_t>(m_target_volume));
    request.operation = FADE_END_NONE;
    PrepareFader(request);
}

void CPlayer::StartPreparedFading() { m_fader->StartFading(); }

void CPlayer::StartEndOfTrackWait() {
    if (!m_auto_fade_tracks || m_is_stream) return;
    const char* prefix = get_player_prefix();
    utils::logger.info("%s >>>>>>>>>>>>>>>>>>>>>>>>>>> TRACK AUTO_FADE ON\n", prefix);
    int64_t duration = 0;
    int64_t margin = 0;
    {
        utils::scoped_lock lock(*this);
        duration = m_track_duration_ms;
        margin = static_cast<int64_t>(m_params.track_end_margin_ms) + 10000;
    }
    uint32_t wait = 0;
    if (duration > margin) {
        wait = static_cast<uint32_t>(duration - margin);
        utils::logger.info("%s >>>>>>>>>>>>>>>>>>>>>>>>>>> Waiting for %ld[ms]\n", prefix, static_cast<long>(wait));
    } else {
        utils::logger.info(
            "%s >>>>>>>>>>>>>>>>>>>>>>>>>>> Remaining TRACK duration (%lld[ms]) is too short, issue wait end now.\n",
            prefix, static_cast<long long>(duration));
    }
    FadeRequest request;
    request.wait = wait;
    request.fading_duration = 0;
    request.init = static_cast<uint32_t>(static_cast<int32_t>(m_target_volume));
    request.target = request.init;
    request.operation = FADE_END_NONE;
    // The end of the fade-in comes from the timer thread: a fade the next track set up
    // meanwhile is not overwritten.
    m_fader->StartFollowUpWait(request);
}

void CPlayer::EndFadingCallback(const unsigned* kind) {
    const char* prefix = get_player_prefix();
    const unsigned value = kind ? *kind : FADE_END_NONE;
    {
        const uint16_t volume = GetVolume();
        utils::scoped_lock lock(*this);
        m_info.m_curr_volume = volume;
    }
    switch (value) {
        case FADE_END_PAUSE:
            InterruptSource();
            PostCommand(CMD_PAUSE);
            utils::logger.info("%s id=%d, CPlayer::EndFadingCallback(): Pause executed, ending fading", prefix,
                               get_player_id());
            break;
        case FADE_END_STOP:
            InterruptSource();
            m_stop_immediately = true;
            PostCommand(CMD_STOP);
            utils::logger.info("%s id=%d, CPlayer::EndFadingCallback(): Stop executed, ending fading", prefix,
                               get_player_id());
            break;
        case FADE_END_REBUFFER:
            InterruptSource();
            PostCommand(CMD_REBUFFER);
            utils::logger.info(
                "%s %s id=%d, CPlayer::EndFadingCallback(): Changing to connecting state to trigger eventual "
                "re-buffering, ending fading",
                prefix, StateName(), get_player_id());
            break;
        case FADE_END_STREAM_TIMEOUT:
            InterruptSource();
            PostCommand(CMD_STREAM_TIMEOUT);
            utils::logger.info("%s id=%d, CPlayer::EndFadingCallback(): Stopping a stream reporting a time out error.",
                               prefix, get_player_id());
            break;
        case FADE_END_TRACK_FADE_IN:
            // A fade-in that a new fade replaces has no track end to wait for; its wait
            // would set the target volume on the way.
            if (!m_replacing_fade) StartEndOfTrackWait();
            utils::logger.info("%s id=%d, CPlayer::EndFadingCallback(): Track started playing after fading", prefix,
                               get_player_id());
            break;
        case FADE_END_WAIT:
            utils::logger.info("%s id=%d, CPlayer::EndFadingCallback(): Wait ended", prefix, get_player_id());
            break;
        default:
            break;
    }
    if (IFadeListener* listener = m_fade_listener) listener->OnFadeEnd(InfoCopy(), m_is_stream, kind);
}

void CPlayer::NotifyFadeAborted(unsigned long elapsed_ms) {
    if (m_is_stream) return;
    utils::logger.info("%s CPlayer::NotifyFadeAborted() received at elapsed track duration of %ld\n",
                       get_player_prefix(), static_cast<long>(elapsed_ms));
    if (elapsed_ms == 0 || !m_track_open) return;
    utils::scoped_lock lock(*this);
    m_track_duration_ms -= static_cast<int64_t>(elapsed_ms);
}
