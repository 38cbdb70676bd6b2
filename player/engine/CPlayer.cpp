#include "player/engine/CPlayer.h"

#include <mpg123.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "player/decoder/CAudioDecoderChain.h"
#include "player/engine/CPlayer_state_buffering.h"
#include "player/engine/CPlayer_state_connecting.h"
#include "player/engine/CPlayer_state_ending.h"
#include "player/engine/CPlayer_state_idle.h"
#include "player/engine/CPlayer_state_paused.h"
#include "player/engine/CPlayer_state_playing.h"
#include "player/engine/CPlayer_state_wait.h"
#include "player/output/CBufferingAlgorithm.h"
#include "player/output/CBufferingAlgorithmNone.h"
#include "player/output/CPCMOutput.h"
#include "player/output/CPCMOutputBuffered.h"
#include "player/decoder/IAudioOutput.h"
#include "player/playlist/CPlaylistFileMap.h"
#include "player/source/CAudioSource.h"
#include "player/volume/CFaderAdapter.h"
#include "player/volume/CVolumeControlAdapter.h"
#include "utils/CLogger.h"

using namespace OrvanePlayer;

namespace {
constexpr const char* kVersion = "OrvaneEng 1.0.0";
constexpr const char* kDefaultPrefix = "PLAYBACK :";
constexpr const char* kBanner = ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>";
}  // namespace

CPlayer::CPlayer()
    : utils::CThread("Player"),
      m_playlist(std::make_unique<CPlaylistFileMap>()),
      m_rtp_algorithm(std::make_unique<BufferingAlgorithm::CBufferingAlgorithm>(500, 50)),
      m_none_algorithm(std::make_unique<BufferingAlgorithm::CBufferingAlgorithmNone>(48000)),
      m_volume(std::make_unique<CVolumeControlAdapter>()),
      m_fader(std::make_unique<CFaderAdapter>(nullptr)) {
    APlayerInfoAdapter::set_player_prefix(kDefaultPrefix);
    m_none_algorithm->set_player_id(-1);
    m_none_algorithm->set_player_prefix(kDefaultPrefix);
    m_params.track_end_margin_ms = 1000;
    m_queue.SetCapacity(kQueueCapacity);
    m_fader->SetPlayer(this);
    Reset();
}

CPlayer::~CPlayer() {
    // A player destroyed while running would leave its thread on freed memory.
    if (m_initialized) Deinitialize();
}

void CPlayer::Reset() {
    utils::scoped_lock lock(*this);
    m_item_name.clear();
    m_current_track.clear();
    m_single_item_name.clear();
    m_shuffle = false;
    m_track_open = false;
    m_item_started = false;
    m_partially = false;
    m_interrupt = true;
    m_target_volume = 50;
    m_playlist_dir = "./";
    m_media_dir = "./";
    m_next_is_last = false;
    m_stop_immediately = true;
    ClearPlaybackTexts();
    m_info.m_repeat_count = 0;
    m_info.m_song_id = -1;
    m_info.m_request_id = 0;
    m_is_stream = false;
    m_low_buffer_latch = false;
    m_low_buffer_threshold = 0;
    const StreamParams defaults;
    m_params.rtp_delay_ms = defaults.rtp_delay_ms;
    m_params.rtp_accuracy_ms = defaults.rtp_accuracy_ms;
    m_params.rtp_low_threshold_ms = defaults.rtp_low_threshold_ms;
    m_params.tcp_delay_ms = defaults.tcp_delay_ms;
    m_params.tcp_accuracy_ms = defaults.tcp_accuracy_ms;
    m_params.tcp_low_threshold_ms = defaults.tcp_low_threshold_ms;
    m_params.fade_in_ms = defaults.fade_in_ms;
}

int CPlayer::Initialize(const PlayerInit& init, const StreamParams& params) {
    if (m_initialized) return 0;
    APlayerInfoAdapter::set_player_prefix(init.log_prefix.c_str());
    {
        utils::scoped_lock lock(*this);
        m_params = params;
    }
    const int r = InitializeChain(init);
    if (r != 0) return r;
    m_initialized = true;
    return start(nullptr, 0, 0);
}

int CPlayer::InitializeChain(const PlayerInit& init) {
    const char* prefix = get_player_prefix();
    m_buffered_output = std::make_unique<CPCMOutputBuffered>(
        m_rtp_algorithm.get(), m_params.rtp_delay_ms, m_params.rtp_accuracy_ms);
    m_buffered_output->set_player_prefix(prefix);
    m_normal_output = std::make_unique<CPCMOutput>();
    m_normal_output->set_player_prefix(prefix);
    m_player_id = init.player_id;
    m_output = m_normal_output.get();
    m_buffered_current = false;
    AssignPlayerChannel();
    m_rtp_algorithm->set_player_prefix(prefix);
    m_normal_output->set_player_id(m_player_id);
    m_buffered_output->set_player_id(m_player_id);
    m_rtp_algorithm->set_player_id(m_player_id);

    m_decoder = std::make_unique<CAudioDecoderChain>();
    m_decoder->set_player_prefix(prefix);
    m_source = std::make_unique<CAudioSource>();
    const std::string options[2] = {m_params.user_agent, m_params.http_headers};
    m_source->SetRequestOptions(options);
    m_source->set_player_id(m_player_id);
    m_source->set_player_prefix(prefix);
    m_source->m_libav_callback = &CPlayer::PlaybackCallback;
    m_source->m_libav_context = this;

    m_volume->set_player_prefix(prefix);
    m_volume->set_player_id(m_player_id);
    if (m_volume->OpenMixer() != 0) {
        utils::logger.error("%s ERROR :CPlayer::Initialize(): Error opening the mixer object\n", prefix);
        return -1;
    }
    m_fader->set_player_prefix(prefix);
    m_fader->set_player_id(m_player_id);
    m_fader->SetVolumeControl(m_volume.get());

    m_idle = std::make_unique<CPlayer_state_idle>(this);
    m_playing = std::make_unique<CPlayer_state_playing>(this);
    m_paused = std::make_unique<CPlayer_state_paused>(this);
    m_ending = std::make_unique<CPlayer_state_ending>(this);
    m_connecting = std::make_unique<CPlayer_state_connecting>(this);
    m_buffering = std::make_unique<CPlayer_state_buffering>(this);
    m_wait = std::make_unique<CPlayer_state_wait>(this);
    m_state = m_idle.get();
    {
        utils::scoped_lock lock(*this);
        m_info.m_player_state = PLAYER_STATE_IDLE;
    }
    m_low_buffer_latch = false;
    m_low_buffer_threshold = 0;

    int r = m_buffered_output->Initialize();
    if (r != 0) {
        utils::logger.error("%s ERROR :CPlayer::Initialize(): Error initializing buffered audio output object\n",
                            prefix);
        return r;
    }
    mpg123_init();
    m_mpg123_ready = true;
    r = m_decoder->CreateChain(prefix);
    if (r != 0) {
        utils::logger.error("%s ERROR :CPlayer::Initialize(): Error initializing decoder object\n", prefix);
        return r;
    }
    m_source->SetOutput(m_decoder.get());
    m_source->NetworkInit();
    m_decoder->SetDependentOutput(m_output);

    m_playlist->set_player_prefix(prefix);
    r = m_playlist->SetDirectories(init.playlist_dir, init.media_dir);
    if (r != 0) {
        utils::logger.error(
            "%s ERROR :CPlayer::Initialize(): Error initializing playlist parser, check directories: %s, %s\n",
            prefix, init.playlist_dir.c_str(), init.media_dir.c_str());
        return r;
    }
    m_playlist->set_player_id(m_player_id);
    utils::scoped_lock lock(*this);
    m_playlist_dir = init.playlist_dir;
    m_media_dir = init.media_dir;
    return 0;
}

int CPlayer::Deinitialize() {
    const char* prefix = get_player_prefix();
    utils::logger.info("%s CPlayer::Deinitialize(): called.\n", prefix);
    Stop(true);
    stop(500);
    m_fader->SetVolumeControl(nullptr);
    utils::logger.info("%s CPlayer::Deinitialize(): Thread stopped.\n", prefix);
    m_initialized = false;

    int result = m_volume->CloseMixer();
    if (result != 0) utils::logger.error("%s ERROR :Closing the mixer returned %d\n", prefix, result);
    if (m_normal_output) {
        result = m_normal_output->DeInitialize();
        if (result < 0)
            utils::logger.error("%s ERROR :CPlayer::Deinitialize(): Error deinitializing PCM audio.\n", prefix);
    }
    if (m_buffered_output) {
        result = m_buffered_output->DeInitialize();
        if (result < 0)
            utils::logger.error("%s ERROR :CPlayer::Deinitialize(): Error deinitializing PCM audio.\n", prefix);
    }
    DestroyChain();
    {
        utils::scoped_lock lock(*this);
        m_playlist->Clear();
    }
    Reset();
    return result;
}

void CPlayer::DestroyChain() {
    if (m_source) {
        m_source->DeInitialize();
        m_source->NetworkDeinit();
    }
    if (m_decoder) m_decoder->DestroyDecoders();
    if (m_mpg123_ready) {
        mpg123_exit();
        m_mpg123_ready = false;
    }
    m_output = nullptr;
    m_buffered_current = false;
    m_normal_output.reset();
    m_buffered_output.reset();
    m_decoder.reset();
    m_source.reset();
    m_state = nullptr;
    m_idle.reset();
    m_playing.reset();
    m_paused.reset();
    m_ending.reset();
    m_connecting.reset();
    m_buffering.reset();
    m_wait.reset();
}

int CPlayer::AssignPlayerChannel() {
    static const char* const kDevices[] = {"channel1", "channel2", "channel3", "channel4"};
    static const char* const kElements[] = {"chan_1", "chan_2", "chan_3", "chan_4"};
    const int id = m_player_id;
    const bool known = id >= 1 && id <= 4;
    const char* device = known ? kDevices[id - 1] : "plug:dmix";
    const std::string previous = m_device_name;
    m_volume->SetElementName(known ? kElements[id - 1] : "Playback");
    if (m_output)
        OutputSetDevice(device);
    else
        utils::logger.error("%s ERROR :Could not set PCM interface. Consider Player Init?", get_player_prefix());
    if (!known) {
        utils::logger.warning(
            "%s  id=1, CPlayer::AssignPlayerChannel(): unsupported mixer channel chan_%d. Valid values are in "
            "[1..4]. Deafalting to plug:dmix on Playabck mixer channel.\n",
            get_player_prefix(), id);
        return -1;
    }
    utils::logger.notice("%s  id=%d, CPlayer::AssignPlayerChannel(): PCMOutput[%s] set to %s.\n",
                         get_player_prefix(), id, previous.c_str(), device);
    return 0;
}

void CPlayer::set_player_id(int id) {
    if (!m_output) {
        utils::logger.error(
            "%s ERROR :NULL AUDIO OUTPUT. Failed to set new Player id/channel. The call should be used after "
            "Player Init!",
            get_player_prefix());
        return;
    }
    m_player_id = id;
    OutputSetId(id);
    AssignPlayerChannel();
    APlayerInfoAdapter::set_player_id(id);
    m_fader->set_player_id(id);
    m_volume->set_player_id(id);
    m_rtp_algorithm->set_player_id(id);
    m_none_algorithm->set_player_id(id);
    m_playlist->set_player_id(id);
    if (m_source) m_source->set_player_id(id);
    if (m_decoder) m_decoder->set_player_id(id);
}

void CPlayer::set_player_prefix(const char* prefix) {
    APlayerInfoAdapter::set_player_prefix(prefix);
    const char* own = get_player_prefix();
    if (m_source)
        m_source->set_player_prefix(own);
    else
        utils::logger.warning(
            "%s CPlayer::set_player_prefix() did not take effect with NULL AUDIO SOURCE. Consider initilizing "
            "Player?",
            own);
    if (m_output)
        OutputSetPrefix(own);
    else
        utils::logger.warning(
            "%s CPlayer::set_player_prefix() did not take effect with NULL AUDIO OUTPUT. Consider initilizing "
            "Player?",
            own);
    if (m_decoder)
        m_decoder->set_player_prefix(own);
    else
        utils::logger.warning(
            "%s CPlayer::set_player_prefix() did not take effect with NULL DECODER. Consider initilizing Player?",
            own);
    m_fader->set_player_prefix(own);
    m_volume->set_player_prefix(own);
    m_rtp_algorithm->set_player_prefix(own);
    m_none_algorithm->set_player_prefix((std::string(own) + " BUFFERING:").c_str());
    m_playlist->set_player_prefix(own);
    utils::logger.notice("%s  CPlayer::set_player_prefix(): Player channel set to %d\n", own,
                         static_cast<int>(m_player_id));
}

void CPlayer::run(void*) {
    while (is_started()) {
        ProcessCommands();
        if (!is_started()) break;
        m_state->Process();
    }
}

APlayerState* CPlayer::GetState(int id) const {
    switch (id) {
        case PLAYER_STATE_IDLE: return m_idle.get();
        case PLAYER_STATE_PLAYING: return m_playing.get();
        case PLAYER_STATE_PAUSED: return m_paused.get();
        case PLAYER_STATE_ENDING: return m_ending.get();
        case PLAYER_STATE_CONNECTING: return m_connecting.get();
        case PLAYER_STATE_BUFFERING: return m_buffering.get();
        case PLAYER_STATE_WAIT: return m_wait.get();
        default: return nullptr;
    }
}

void CPlayer::SetState(APlayerState* state) {
    if (!state) return;
    if (m_state) m_state->on_exit();
    const std::string old_name = m_state ? m_state->GetName() : std::string();
    m_state = state;
    {
        utils::scoped_lock lock(*this);
        m_info.m_player_state = state->GetId();
    }
    m_state->on_entry();
    if (IPlayerDelegate* delegate = m_delegate) {
        const PlaybackInfo info = InfoCopy();
        delegate->NotifyPlaybackStateChanged(info, m_state->GetName().c_str());
    }
    utils::logger.notice("%s id=%d, state=%s, CPlayer::SetState(): State changed from %s\n", get_player_prefix(),
                         get_player_id(), m_state->GetName().c_str(), old_name.c_str());
}

const char* CPlayer::StateName() const {
    auto* self = const_cast<CPlayer*>(this);
    utils::scoped_lock lock(*self);
    const char* name = PlayerStateName(m_info.m_player_state);
    return name ? name : "";
}

PlaybackInfo CPlayer::InfoCopy() {
    utils::scoped_lock lock(*this);
    return m_info;
}

std::string CPlayer::CurrentTrack() {
    utils::scoped_lock lock(*this);
    return m_current_track;
}

void CPlayer::ClearPlaybackTexts() {
    utils::scoped_lock lock(*this);
    m_info.m_playlist_name.clear();
    m_info.m_curr_music_file.clear();
    m_info.m_next_music_file.clear();
    m_info.m_curr_song_name.clear();
    m_info.m_next_song_name.clear();
    m_info.m_artist_name.clear();
    m_info.m_album_name.clear();
}

void CPlayer::NotifyError(int code) {
    if (IPlayerDelegate* delegate = m_delegate) delegate->NotifyPlaybackError(InfoCopy(), code);
}

void CPlayer::NotifyError(const PlaybackInfo& info, int code) {
    if (IPlayerDelegate* delegate = m_delegate) delegate->NotifyPlaybackError(info, code);
}

void CPlayer::InterruptSource() {
    std::lock_guard<std::mutex> lock(m_interrupt_lock);
    if (m_source) m_source->Interrupt();
}

void CPlayer::SetSourceTimeout(int32_t seconds) {
    std::lock_guard<std::mutex> lock(m_interrupt_lock);
    if (m_source && m_source->GetTimeout() >= 0) m_source->SetTimeout(seconds);
}

bool CPlayer::ClearCustomInterrupt() {
    std::lock_guard<std::mutex> lock(m_interrupt_lock);
    if (!m_source || m_source->GetTimeout() >= 0) return false;
    m_source->SetTimeout(10);
    return true;
}

void CPlayer::ClearSourceTags() {
    // The source drops its tags in DeInitialize, which every CloseTrack runs before a
    // new connect; the live record's texts are reloaded right after this.
}

int CPlayer::OutputStart() {
    return m_buffered_current ? m_buffered_output->StartAudio() : m_normal_output->StartAudio();
}

int CPlayer::OutputStop() {
    return m_buffered_current ? m_buffered_output->StopAudio() : m_normal_output->StopAudio();
}

void CPlayer::OutputSetDevice(const char* name) {
    m_device_name = name;
    if (m_buffered_current)
        m_buffered_output->SetDeviceName(name);
    else
        m_normal_output->SetDeviceName(name);
}

void CPlayer::OutputSetId(int id) {
    if (m_buffered_current)
        m_buffered_output->set_player_id(id);
    else
        m_normal_output->set_player_id(id);
}

void CPlayer::OutputSetPrefix(const char* prefix) {
    if (m_buffered_current)
        m_buffered_output->set_player_prefix(prefix);
    else
        m_normal_output->set_player_prefix(prefix);
}

int CPlayer::StartAudio() {
    const int r = OutputStart();
    if (r < 0) NotifyError(EPLAYER_PCMAUDIO_OUT);
    return r;
}

int CPlayer::StopAudio() {
    if (!m_output) return 0;
    const int r = OutputStop();
    if (r < 0) NotifyError(EPLAYER_PCMAUDIO_OUT);
    return r;
}

bool CPlayer::OutputIsPrebuffering() const {
    // A normal output never pre-buffers.
    return m_output && m_buffered_current && m_buffered_output->IsPrebuffering();
}

uint32_t CPlayer::GetBufferedAudioLevel() {
    uint32_t ms = 0;
    if (m_buffered_output) m_buffered_output->GetBufferedMs(&ms);
    return ms;
}

// ---------------------------------------------------------------------------------------------
// IPlayer operations

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

void CPlayer::GetVersion(std::string& out) { out = kVersion; }

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
