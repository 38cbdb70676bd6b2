#include "player/engine/CPlayer.h"

#include <mpg123.h>
#include <pthread.h>


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
constexpr const char* kDefaultPrefix = "PLAYBACK :";
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
    // A thread that could not be stopped may have ended since: its chain goes in order now.
    if (m_chain_left && !is_alive()) ReleaseChain();
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
    if (m_chain_left) {
        if (is_alive()) {
            utils::logger.error("%s ERROR :CPlayer::Initialize(): the player thread of the last run has not ended.\n",
                                get_player_prefix());
            return -1;
        }
        ReleaseChain();
    }
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
    m_normal_output->SetOpenListener([this] { OnOutputOpened(); });
    // The output keeps the playback going and opens the device again by itself.
    m_normal_output->SetLostListener([this] { NotifyError(EPLAYER_PCMAUDIO_OUT); });
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
    m_initialized = false;
    if (is_alive()) {
        // Blocked where nothing reaches it (a hung file system, a delegate that does not
        // return): freeing what it works on would only move the fault to its next step.
        utils::logger.error("%s ERROR :CPlayer::Deinitialize(): the player thread did not end, its components are "
                            "left in place.\n",
                            prefix);
        m_chain_left = true;
        return -1;
    }
    utils::logger.info("%s CPlayer::Deinitialize(): Thread stopped.\n", prefix);
    return ReleaseChain();
}

int CPlayer::ReleaseChain() {
    const char* prefix = get_player_prefix();
    m_chain_left = false;
    m_fader->SetVolumeControl(nullptr);
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

// The player thread works inside ALSA, libavformat, libcurl, the decoders and the
// application's delegate. Cancelling it in one of their blocking calls would unwind through
// code that keeps its own locks and half-built state, which the shutdown then uses: a
// thread that does not end when asked is left alone instead (see Deinitialize).
void CPlayer::on_start() {
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
}

void CPlayer::run(void*) {
    while (is_started()) {
        ProcessCommands();
        if (!is_started()) break;
        m_state->Process();
        CheckStreamDevice();
    }
}

// The buffered output does not open a device again by itself: a stream whose device went
// away is opened anew, and the wait state's retries go on until the device opens again.
void CPlayer::CheckStreamDevice() {
    if (!m_buffered_current || !m_buffered_output || !m_buffered_output->IsDeviceGone()) return;
    if (m_state != m_playing.get() && m_state != m_buffering.get()) return;
    utils::logger.error("%s ERROR :CPlayer::CheckStreamDevice(): audio device %s went away, opening the stream again.\n",
                        get_player_prefix(), m_device_name.c_str());
    NotifyError(EPLAYER_PCMAUDIO_OUT);
    // The device is closed first, so that a gone device is not drained or kept on the way.
    m_buffered_output->DeInitialize();
    PostCommand(CMD_REBUFFER);
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
    if (state == m_idle.get()) m_health.End();
    // Audio plays again: whatever failed before no longer stands.
    if (state == m_playing.get()) ClearFailure();
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

int CPlayer::OutputDrop() {
    return m_buffered_current ? m_buffered_output->DropAudio() : m_normal_output->DropAudio();
}

void CPlayer::OutputSetDevice(const char* name) {
    m_device_name = name;
    if (m_buffered_current)
        m_buffered_output->SetDeviceName(name);
    else
        m_normal_output->SetDeviceName(name);
}

void CPlayer::OnOutputOpened() {
    if (m_volume->FindMissingElement() != 1) return;
    // The element took the setting it missed: report the volume it has now.
    const uint16_t volume = GetVolume();
    utils::scoped_lock lock(*this);
    m_info.m_curr_volume = volume;
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

bool CPlayer::AudioCarriesOn() {
    return m_output && m_buffered_current && !m_buffered_output->IsPrebuffering() &&
           static_cast<int32_t>(GetVolume()) == m_target_volume;
}

uint32_t CPlayer::GetBufferedAudioLevel() {
    uint32_t ms = 0;
    if (m_buffered_output) m_buffered_output->GetBufferedMs(&ms);
    return ms;
}
