// CPlayer: the IPlayer control operations and the stream parameters. Any thread.
#include <chrono>
#include <cstring>
#include <thread>

#include "player/engine/CPlayer.h"
#include "player/include/PlayerFactory.h"
#include "player/output/CPCMOutputBuffered.h"
#include "player/playlist/CPlaylistFileMap.h"
#include "player/source/CAudioSource.h"
#include "player/volume/CFaderAdapter.h"
#include "player/volume/CVolumeControlAdapter.h"
#include "utils/CLogger.h"

using namespace OrvanePlayer;

namespace {
constexpr const char* kBanner = ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>";
}  // namespace

void CPlayer::FadeAndStop(unsigned interval_ms, int volume) { m_fader->FadeAndStop(interval_ms, volume); }

void CPlayer::FadeAndPause(unsigned interval_ms, int volume) { m_fader->FadeAndPause(interval_ms, volume); }

void CPlayer::Fade(const FadeRequest& request) { m_fader->Fade(request); }

void CPlayer::FadeAndPlay(unsigned interval_ms, int volume) { FadeAndPlay(interval_ms, GetVolume(), volume); }

void CPlayer::FadeAndPlay(unsigned interval_ms, int from_volume, int to_volume) {
    m_fader->FadeAndPlay(interval_ms, from_volume, to_volume);
}

void CPlayer::RefreshItem() {
    int32_t saved_target = 0;
    uint32_t fade_in_ms = 0;
    {
        utils::scoped_lock lock(*this);
        m_info.m_playlist_digest.clear();
        InterruptSource();
        saved_target = m_target_volume;
        fade_in_ms = m_params.fade_in_ms;
    }
    FadeAndPlay(fade_in_ms, 0);
    // The caller waits out the fade: this is the one operation that blocks by design.
    std::this_thread::sleep_for(std::chrono::milliseconds(fade_in_ms + 500));
    std::string item;
    {
        utils::scoped_lock lock(*this);
        m_target_volume = saved_target;
        m_info.m_curr_volume = static_cast<uint16_t>(saved_target);
        item = m_item_name;
    }
    PostCommand(CMD_SET_PLAYLIST, item);
}

void CPlayer::SetItem(const PlaybackItem& item) {
    const char* prefix = get_player_prefix();
    if (!m_source) {
        utils::logger.error("%s ERROR :CPlayer::SetItem() called without being initialized.\n", prefix);
        return;
    }
    const bool url = item.name.find("://") != std::string::npos;
    m_is_stream = url;
    {
        utils::scoped_lock lock(*this);
        m_item = item;
    }
    // Only an interrupting item cuts the current read short: otherwise the playing track
    // would end "because of an interrupt" whenever its read noticed it before the command.
    if (item.interrupt)
        InterruptSource();
    {
        utils::scoped_lock lock(*this);
        utils::logger.info("%s CPlayer::SetItem(): Interrupt is %s\n", kBanner, item.interrupt ? "ON" : "OFF");
        m_interrupt = item.interrupt != 0;
        m_target_volume = item.volume;
        ClearPlaybackTexts();
        m_info.m_repeat_count = 0;
        m_info.m_song_id = -1;
        utils::logger.notice(
            "%s  CPlayer::SetItem() : id=%d, state=%s, SetItem %s, Repeat Count = %d , Shuffle = %d, Volume = %d, "
            "auto fade streams=%d\n",
            prefix, get_player_id(), StateName(), item.name.c_str(), item.repeat_count, item.shuffle, item.volume,
            item.auto_fade_streams);
        m_shuffle = item.shuffle != 0;
        m_auto_fade_streams = item.auto_fade_streams != 0;
        m_auto_fade_tracks = item.auto_fade_tracks != 0;
    }
    const std::string tail = item.name.size() > 4 ? item.name.substr(item.name.size() - 4) : item.name;
    const bool playlist = m_playlist_extensions.find(tail) != std::string::npos;
    PostCommand(playlist && !url ? CMD_SET_PLAYLIST : CMD_SET_SINGLE_ITEM, item.name);
}

void CPlayer::PlayPlaylist(const std::string& name, bool interrupt, bool shuffle, int volume) {
    const char* prefix = get_player_prefix();
    utils::logger.info("%s %s CPlayer::PlayPlaylist() called for playlist {%s}\n", prefix, kBanner, name.c_str());
    if (interrupt)
        InterruptSource();
    {
        utils::scoped_lock lock(*this);
        if (interrupt)
            utils::logger.info("%s CPlayer::PlayPlaylist(): Interrupt is ON\n", kBanner);
        else
            utils::logger.info("%s %s CPlayer::PlayPlaylist(): Interrupt is OFF\n", prefix, kBanner);
        m_interrupt = interrupt;
        utils::logger.info("%s %s CPlayer::PlayPlaylist(): Requested volume %d\n", prefix, kBanner, volume);
        m_target_volume = volume;
        m_shuffle = shuffle;
    }
    PostCommand(CMD_SET_PLAYLIST, name);
    PostCommand(CMD_PLAY);
    utils::logger.info("%s %s CPlayer::PlayPlaylist(): END\n", prefix, kBanner);
}

void CPlayer::Play() {
    utils::logger.info("%s CPlayer::Play(): START\n", get_player_prefix());
    PostCommand(CMD_PLAY);
}

void CPlayer::Play(int song_id) {
    utils::logger.info("%s CPlayer::Play() song %d: START\n", get_player_prefix(), song_id);
    Stop(true);
    {
        utils::scoped_lock lock(*this);
        std::string track;
        m_playlist->SelectTrack(static_cast<unsigned>(song_id), track);
        m_current_track = track;
        ClearPlaybackTexts();
        m_info.m_playlist_name = m_item_name.empty() ? m_single_item_name : m_item_name;
        m_info.m_song_id = song_id;
        m_info.m_curr_song_name = track;
    }
    PostCommand(CMD_PLAY);
}

void CPlayer::Stop(bool immediately) {
    m_stop_immediately = immediately;
    if (immediately) InterruptSource();
    PostCommand(CMD_STOP);
}

void CPlayer::Pause() {
    InterruptSource();
    PostCommand(CMD_PAUSE);
}

void CPlayer::PlayNext() {
    InterruptSource();
    PostCommand(CMD_NEXT);
}

void CPlayer::PlayPrevious() {
    InterruptSource();
    PostCommand(CMD_PREVIOUS);
}

void CPlayer::SetShuffle(bool on) { PostCommand(on ? CMD_SHUFFLE_ON : CMD_SHUFFLE_OFF); }

void CPlayer::GetPlaybackInfo(PlaybackInfo& out) {
    utils::scoped_lock lock(*this);
    out = m_info;
}

uint16_t CPlayer::GetVolume() {
    // The fader applies volumes on the timer thread under its lock; read under the same lock.
    const int applied = m_fader->GetAppliedVolume();
    return static_cast<uint16_t>(applied >= 0 ? applied : m_volume->GetVolume());
}

void CPlayer::ReloadPlaylist() { PostCommand(CMD_RELOAD); }

bool CPlayer::SetVolume(uint16_t percent) {
    utils::logger.notice("%s  id=%d, state=%s, CPlayer::SetVolume(): with Volume value %d requested. \n",
                         get_player_prefix(), get_player_id(), StateName(), percent);
    if (percent > 100) {
        utils::logger.error(
            "%s ERROR :CPlayer::SetVolume(): Volume value %ld is out of range, value in [0..100 %%] required. \n",
            get_player_prefix(), static_cast<long>(percent));
        return false;
    }
    std::string argument(sizeof(percent), '\0');
    std::memcpy(&argument[0], &percent, sizeof(percent));
    PostCommand(CMD_VOLUME, argument);
    return true;
}

bool CPlayer::SetVolume_dB(int db) {
    if (db < -120 || db > 0) {
        utils::logger.error(
            "%s ERROR :CPlayer::SetVolume_dB(): Volume value %ld dB is out of range, value in [-120..0 dB] "
            "required. \n",
            get_player_prefix(), static_cast<long>(db));
        return false;
    }
    const int32_t value = db;
    std::string argument(sizeof(value), '\0');
    std::memcpy(&argument[0], &value, sizeof(value));
    PostCommand(CMD_VOLUME_DB, argument);
    return true;
}

void CPlayer::SetVolumeInUnit(int value, int unit) {
    if (unit == 0) {
        const uint16_t percent = static_cast<uint16_t>(value);
        std::string argument(sizeof(percent), '\0');
        std::memcpy(&argument[0], &percent, sizeof(percent));
        PostCommand(CMD_VOLUME, argument);
    } else if (unit == 1) {
        const int32_t db = value;
        std::string argument(sizeof(db), '\0');
        std::memcpy(&argument[0], &db, sizeof(db));
        PostCommand(CMD_VOLUME_DB, argument);
    }
}

void CPlayer::SetRepeatCount(int count) {
    utils::scoped_lock lock(*this);
    m_info.m_repeat_count = count < 0 ? -1 : count;
}

void CPlayer::SetFadeListener(IFadeListener* listener) { m_fade_listener = listener; }

void CPlayer::SetDelegate(IPlayerDelegate* delegate, uint32_t context) {
    m_delegate = delegate;
    utils::scoped_lock lock(*this);
    m_info.m_context = context;
}

bool CPlayer::GetErrorText(int code, std::string& out) {
    const int index = (code < 0 ? -code : code) - 1000;
    if (index < 0 || index > 8) return false;
    const char* text = PlayerErrorText(code);
    if (!text) return false;
    out = text;
    return true;
}

void CPlayer::GetVersion(std::string& out) { out = OrvanePlayer::EngineVersion(); }

// ---------------------------------------------------------------------------------------------
// Stream parameters

StreamParams CPlayer::GetStreamParams() {
    utils::scoped_lock lock(*this);
    return m_params;
}

void CPlayer::SetStreamParams(const StreamParams& requested) {
    const char* prefix = get_player_prefix();
    StreamParams p = requested;
    {
        utils::scoped_lock lock(*this);
        const StreamParams& s = m_params;
        if (p.rtp_delay_ms == s.rtp_delay_ms && p.rtp_accuracy_ms == s.rtp_accuracy_ms &&
            p.rtp_low_threshold_ms == s.rtp_low_threshold_ms && p.tcp_delay_ms == s.tcp_delay_ms &&
            p.tcp_accuracy_ms == s.tcp_accuracy_ms && p.tcp_low_threshold_ms == s.tcp_low_threshold_ms &&
            p.fade_in_ms == s.fade_in_ms)
            return;
    }
    utils::logger.info(
        "%s CPlayer::SetStreamParams() requested: rtp delay=%d, rtp accuracy=%d, rtp low threshold=%d, tcp "
        "delay=%d, tcp accuracy=%d, tcp low threshold=%d, fade in=%u\n",
        prefix, p.rtp_delay_ms, p.rtp_accuracy_ms, p.rtp_low_threshold_ms, p.tcp_delay_ms, p.tcp_accuracy_ms,
        p.tcp_low_threshold_ms, p.fade_in_ms);
    if (p.rtp_accuracy_ms <= 24) {
        p.rtp_accuracy_ms = 25;
        utils::logger.notice("%s CPlayer::SetStreamParams() too low rtp accuracy requested, overriding with %d",
                             prefix, p.rtp_accuracy_ms);
    }
    if (p.tcp_accuracy_ms <= 249) {
        p.tcp_accuracy_ms = 250;
        utils::logger.notice("%s CPlayer::SetStreamParams() too low tcp accuracy requested, overriding with %d",
                             prefix, p.tcp_accuracy_ms);
    }
    if (p.rtp_delay_ms <= 49) {
        p.rtp_delay_ms = 50;
        utils::logger.notice("%s CPlayer::SetStreamParams() too low rtp delay requested, overriding with %d", prefix,
                             p.rtp_delay_ms);
    }
    if (p.tcp_delay_ms < 500) {
        p.tcp_delay_ms = 500;
        utils::logger.notice("%s CPlayer::SetStreamParams() too low tcp delay requested, overriding with %d", prefix,
                             p.tcp_delay_ms);
    }
    if (p.rtp_delay_ms < p.rtp_accuracy_ms) {
        p.rtp_accuracy_ms = static_cast<uint16_t>(p.rtp_delay_ms - 1);
        utils::logger.notice(
            "%s CPlayer::SetStreamParams() rtp delay < accuracy requested , overriding accuracy with %d", prefix,
            p.rtp_accuracy_ms);
    }
    if (p.tcp_delay_ms < p.tcp_accuracy_ms) {
        p.tcp_accuracy_ms = static_cast<uint16_t>(p.tcp_delay_ms - 1);
        utils::logger.notice(
            "%s CPlayer::SetStreamParams() tcp delay < accuracy requested , overriding accuracy with %d", prefix,
            p.tcp_accuracy_ms);
    }
    const uint16_t rtp_half = static_cast<uint16_t>(p.rtp_delay_ms / 2);
    if (p.rtp_low_threshold_ms > rtp_half) {
        utils::logger.notice(
            "%s CPlayer::SetStreamParams() rtp low buffer threshold (%d) > (%d) delay/2 requested , overriding "
            "with %d",
            prefix, p.rtp_low_threshold_ms, rtp_half, rtp_half);
        p.rtp_low_threshold_ms = rtp_half;
    }
    const uint16_t tcp_half = static_cast<uint16_t>(p.tcp_delay_ms / 2);
    if (p.tcp_low_threshold_ms > tcp_half) {
        utils::logger.notice(
            "%s CPlayer::SetStreamParams() tcp low buffer threshold (%d) > (%d) delay/2 requested , overriding "
            "with %d",
            prefix, p.tcp_low_threshold_ms, tcp_half, tcp_half);
        p.tcp_low_threshold_ms = tcp_half;
    }
    if (p.fade_in_ms > p.tcp_low_threshold_ms) {
        p.fade_in_ms = p.tcp_low_threshold_ms;
        utils::logger.notice(
            "%s CPlayer::SetStreamParams() stream fade in period > tcp low buffer threshold requested, overriding "
            "with value of the threshold %d",
            prefix, p.tcp_low_threshold_ms);
    }
    {
        utils::scoped_lock lock(*this);
        const int32_t margin = m_params.track_end_margin_ms;
        m_params = p;
        m_params.track_end_margin_ms = margin;
    }
    PostCommand(CMD_STREAM_PARAMS);
}

void CPlayer::ApplyStreamParams() {
    const char* prefix = get_player_prefix();
    if (!m_buffered_output) {
        utils::logger.warning(
            "%s %s id=%d, CPlayer::ApplyStreamParams() could not apply new streaming parameters. Initilize "
            "Player first\n",
            prefix, StateName(), get_player_id());
        return;
    }
    const StreamParams p = GetStreamParams();
    uint32_t total = 0;
    uint32_t threshold = 0;
    if (p.tcp_delay_ms >= p.rtp_delay_ms) {
        total = p.tcp_delay_ms + p.rtp_accuracy_ms + p.tcp_accuracy_ms;
        threshold = p.tcp_low_threshold_ms;
    } else {
        total = p.rtp_delay_ms + p.rtp_accuracy_ms + p.tcp_accuracy_ms;
        threshold = p.rtp_low_threshold_ms;
    }
    // The buffer size travels as 16 bits; a larger sum wraps on purpose.
    total = static_cast<uint16_t>(total);
    if (total - threshold < p.fade_in_ms)
        utils::logger.warning(
            "%s fade out threshold + fade-out interval (%d+%d)=%d[ms] exceeds total buffer (%d)[ms]. This will "
            "cause a time-out. Consider providing proper stream parameters when setting buffer size!",
            prefix, threshold, p.fade_in_ms, threshold + p.fade_in_ms, total);
    else
        utils::logger.info(
            "%s CPlayer::ApplyStreamParams(): Setting up fade out threshold (%d) fade-out interval (%d) and total "
            "buffer size of (%d)[ms].",
            prefix, threshold, p.fade_in_ms, total);
    if (m_buffered_output->SetBufferSize(total) == 0) {
        m_low_buffer_threshold = threshold;
        utils::scoped_lock lock(*this);
        SetSourceTimeout(static_cast<int32_t>(total / 1000 + 5));
        return;
    }
    utils::logger.error("%s ERROR :CPlayer::ApplyStreamParams(): Error on setting buffer size.", prefix);
    NotifyError(EPLAYER_PCMAUDIO_OUT);
}
