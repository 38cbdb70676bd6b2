#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "player/include/IPlayer.h"
#include "player/include/PlayerFailure.h"
#include "player/include/PlayerHealth.h"
#include "player/output/CStreamHealth.h"
#include "player/source/IAudioSourceDelegate.h"
#include "player/volume/IFaderPlayer.h"
#include "utils/APlayerInfoAdapter.h"
#include "utils/CMsgQueue.h"
#include "utils/CThread.h"
#include "utils/mutex.h"

// The playback chain is only named here; an application needs no component header.
class CAudioSource;
class CTrustStore;
class IAudioOutput;
class CAudioDecoderChain;
class CPCMOutput;
class CPCMOutputBuffered;
class CVolumeControlAdapter;
class CFaderAdapter;
class CPlaylistFileMap;
class APlayerState;
namespace BufferingAlgorithm {
class CBufferingAlgorithm;
class CBufferingAlgorithmNone;
}  // namespace BufferingAlgorithm

// The player engine. Owns one playback chain (source, decoder chain, a normal and a
// buffered PCM output, buffering algorithms, volume control, fader, playlist map and
// the seven states) and one player thread that carries out queued commands and drives
// the current state. The base mutex is the information lock: it guards the live
// PlaybackInfo, the item flags and the remembered track duration.
class CPlayer final : public OrvanePlayer::IPlayer,
                      public IAudioSourceDelegate,
                      public IFaderPlayer,
                      public APlayerInfoAdapter,
                      public utils::CThread,
                      public utils::mutex {
public:
    // Command codes of the player thread.
    enum Command : uint16_t {
        CMD_SET_PLAYLIST = 0,
        CMD_PLAY = 1,
        CMD_PAUSE = 2,
        CMD_STOP = 3,
        CMD_NEXT = 4,
        CMD_PREVIOUS = 5,
        CMD_VOLUME = 6,
        CMD_VOLUME_DB = 7,
        CMD_SHUFFLE_ON = 8,
        CMD_SHUFFLE_OFF = 9,
        CMD_RELOAD = 10,
        CMD_SET_SINGLE_ITEM = 11,
        CMD_STREAM_PARAMS = 12,
        CMD_PLAY_FADED = 13,
        CMD_STREAM_TIMEOUT = 14,
        CMD_REBUFFER = 15,
    };
    static constexpr uint16_t kQueueCapacity = 50;

    CPlayer();
    ~CPlayer() override;

    // Builds the whole playback chain and starts the player thread. 0 or the failing
    // component's result. Call from the application thread.
    int Initialize(const OrvanePlayer::PlayerInit& init, const OrvanePlayer::StreamParams& params);
    // Stops the thread and frees the chain; the result of the last deinitialization, or -1
    // when the thread did not end and the chain was left in place for it.
    int Deinitialize();
    bool IsInitialized() const override { return m_initialized; }

    // IFadingCallback: timer thread (or the caller of a fade abort).
    void EndFadingCallback(const unsigned* kind) override;
    void NotifyFadeAborted(unsigned long elapsed_ms) override;

    // IPlayer
    void FadeAndStop(unsigned interval_ms, int volume) override;
    void FadeAndPause(unsigned interval_ms, int volume) override;
    void Fade(const OrvanePlayer::FadeRequest& request) override;
    void FadeAndPlay(unsigned interval_ms, int volume) override;
    void FadeAndPlay(unsigned interval_ms, int from_volume, int to_volume) override;
    void RefreshItem() override;
    void SetItem(const OrvanePlayer::PlaybackItem& item) override;
    void PlayPlaylist(const std::string& name, bool interrupt, bool shuffle, int volume) override;
    void Play() override;
    void Play(int song_id) override;
    void Stop(bool immediately) override;
    void Pause() override;
    void PlayNext() override;
    void PlayPrevious() override;
    void ReservedA() override {}
    void ReservedB() override {}
    void SetShuffle(bool on) override;
    void GetPlaybackInfo(OrvanePlayer::PlaybackInfo& out) override;
    uint16_t GetVolume() override;
    void ReloadPlaylist() override;
    bool SetVolume(uint16_t percent) override;
    bool SetVolume_dB(int db) override;
    void SetVolumeInUnit(int value, int unit) override;
    void ReservedC(int) override {}
    void SetRepeatCount(int count) override;
    bool IsStream() override { return m_is_stream; }
    void SetFadeListener(OrvanePlayer::IFadeListener* listener) override;
    void SetDelegate(OrvanePlayer::IPlayerDelegate* delegate, uint32_t context) override;
    bool GetErrorText(int code, std::string& out) override;
    void GetVersion(std::string& out) override;
    bool IsRunning() override { return is_running(); }
    void SetStreamParams(const OrvanePlayer::StreamParams& params) override;

    // APlayerInfoAdapter: the id selects the output channel (1 to 4).
    int get_player_id() const override { return m_player_id; }
    void set_player_id(int id) override;
    void set_player_prefix(const char* prefix) override;
    int AssignPlayerChannel();

    // Any thread: queue a command. The queue never holds more than 50; the oldest goes.
    void PostCommand(uint16_t code) override;
    void PostCommand(uint16_t code, const std::string& argument);
    // Any thread: abort the running fade and set up (or start, when playing) a new one.
    void PrepareFader(const OrvanePlayer::FadeRequest& request) override;
    // The buffered output's fill level in ms (0 without one).
    uint32_t GetBufferedAudioLevel();
    // The current network stream's figures; any thread.
    OrvanePlayer::StreamHealth GetStreamHealth() const { return m_health.Read(); }
    uint64_t GetStreamAudioMs() const { return m_health.AudioMs(); }
    OrvanePlayer::RtpSenderHealth GetRtpSenderHealth() const { return m_health.ReadRtpSender(); }
    // The failure that stands (see GetPlaybackFailure); any thread.
    OrvanePlayer::PlaybackFailure GetFailure() const;
    // How HTTPS servers are checked from the next open on; any thread. 0 or the negative
    // errno of an unusable ca_file (checks then against the system's store alone).
    int SetTlsSettings(const OrvanePlayer::TlsSettings& settings);
    // The only host RTP packets are taken from from the next open on (empty: any); any thread.
    void SetRtpSource(const std::string& host);
    // Stored (validated) stream parameters; any thread.
    OrvanePlayer::StreamParams GetStreamParams();
    // The command queue, for diagnostics and tests.
    utils::CMsgQueue& GetQueue() { return m_queue; }

    // libavformat's interrupt callback: 1 tells the blocking operation to give up.
    static int PlaybackCallback(void* player);
    // Sleeps ms on the player thread; while a stream's buffered audio plays (a wait before
    // reconnecting), the device is fed from the ring in that time.
    void SuspendFeedingStream(uint32_t ms);

    // ---- Mechanics driven by the state objects: player thread only. ----
    void SetState(APlayerState* state);
    APlayerState* GetState(int id) const;
    APlayerState* CurrentState() const { return m_state; }
    int OpenPlaylist(const std::string& caller);
    bool MoveTrackUp(const std::string& caller, bool notify);
    void MoveTrackDown(const std::string& caller);
    void SetCurrentTrack(const std::string& name);
    bool OpenTrack(const std::string& caller);
    void CloseTrack();
    int ProcessTrack();
    void NotifyAudioStreamFinished() override;
    void UpdateTrackMetadata();
    void LoadPlaybackInfo(bool notify);
    void RememberTrackDuration();
    bool ClearCustomInterrupt();
    void ClearPlaybackTexts();
    void ClearSourceTags();
    int StartAudio();
    int StopAudio();
    bool OutputIsPrebuffering() const;
    // The buffered output kept playing through a reconnection, at the item's volume.
    bool AudioCarriesOn();
    bool PlaylistHasTracks() const;
    void SetupTrackAutoFade();
    void SetupStreamAutoFade();
    void StartPreparedFading();
    void ApplyStreamParams();
    std::string CurrentTrack();
    const char* StateName() const;
    bool TrackIsStream() const { return m_is_stream; }
    OrvanePlayer::IPlayerDelegate* Delegate() const { return m_delegate; }
    // A copy of the live record, for notifications sent outside the lock.
    OrvanePlayer::PlaybackInfo InfoCopy();

    // Result codes of ProcessTrack (libavformat's end-of-file and exit codes).
    static const int kEndOfFile;
    static const int kExit;
    // Initialize's result for an input whose codec no decoder takes.
    static const int kUndecodable;
    // Seconds the wait state pauses before the next attempt to open the stream: 1, or
    // after refusals of its codec 2, 4, 8, ... up to kMaxRetryPauseS.
    int32_t RetryPauseSeconds() const;
    static constexpr int32_t kMaxRetryPauseS = 60;
    // Sleep between two passes that play out the end of a finite stream.
    static constexpr uint64_t kPlayOutPassMs = 20;

protected:
    void on_start() override;
    void run(void* arg) override;

private:
    void Reset();
    void ProcessCommands();
    void ExecuteCommand(int code, const std::string& argument);
    void SetNewItem(int code, const std::string& argument);
    void ExecuteVolume(uint16_t percent);
    void ExecuteVolumeDb(int32_t db);
    void ExecuteStreamTimeout();
    void AbortFading();
    void AbortRunningFading();
    void InterruptSource();
    // Sets the source's timeout unless a custom interrupt is pending: a stop that arrives
    // while a stream is being set up must still cut its open short.
    void SetSourceTimeout(int32_t seconds);
    void StartEndOfTrackWait();
    bool StreamEndIsTrackEnd();
    int PlayOutStream();
    bool SwitchToNormalOutput();
    bool SwitchToBufferedOutput(const std::string& caller, const std::string& track);
    bool KeepBufferedAudio(const std::string& track);
    // Moves ring audio to the device and raises the low-buffer error (inside blocking
    // source operations and while waiting to reconnect).
    void FeedStreamOutput();
    void ReportOpenFailure(int r, const std::string& caller, const std::string& track);
    bool RestartDecoder(const std::string& caller, const std::string& track);
    void LoadNextSongName();
    int InitializeChain(const OrvanePlayer::PlayerInit& init);
    void DestroyChain();
    int ReleaseChain();
    void ApplyPlayerId();
    // The two outputs share no base with these operations: dispatch on the current one.
    int OutputStart();
    int OutputStop();
    int OutputDrop();
    // A command that cuts the current audio off (new item with interrupt, stop now, next,
    // previous) discards what the device holds before the state acts on it.
    void DropAudioFor(int code);
    void OutputSetDevice(const char* name);
    // The device has just been opened: a volume element that was missing may exist now.
    void OnOutputOpened();
    void CheckStreamDevice();
    void OutputSetId(int id);
    void OutputSetPrefix(const char* prefix);
    void NotifyError(int code);
    void NotifyError(const OrvanePlayer::PlaybackInfo& info, int code);
    // The source's cause of the failure about to be notified with code becomes the one
    // that stands; logged with where it happened.
    void PublishFailure(int code, const char* where);
    void ClearFailure();
    void ApplyConnectionSettings();

    int64_t m_track_duration_ms = 0;              // guarded by the information lock
    std::atomic<bool> m_is_stream{false};
    std::atomic<bool> m_stop_immediately{true};
    const std::string m_playlist_extensions = ".M3U.m3u.M3u.m3U.plist";
    bool m_next_is_last = false;                  // player thread only
    OrvanePlayer::PlaybackInfo m_info;            // guarded by the information lock
    std::string m_item_name;                      // player thread only
    std::string m_current_track;                  // guarded by the information lock
    std::string m_single_item_name;               // player thread only
    bool m_shuffle = false;                       // guarded by the information lock
    bool m_interrupt = true;                      // guarded by the information lock
    std::atomic<bool> m_track_open{false};
    bool m_item_started = false;                  // player thread only
    bool m_partially = false;                     // player thread only
    std::atomic<bool> m_auto_fade_streams{false};
    std::atomic<bool> m_auto_fade_tracks{false};
    bool m_low_buffer_latch = false;              // player thread only
    std::atomic<uint32_t> m_low_buffer_threshold{0};
    std::atomic<int32_t> m_target_volume{50};
    std::atomic<bool> m_replacing_fade{false};    // PrepareFader is aborting the old fade
    utils::CMsgQueue m_queue;                     // has its own lock
    std::unique_ptr<CPlaylistFileMap> m_playlist; // player thread (and Play(song_id) under the information lock)
    std::string m_playlist_dir = "./";
    std::string m_media_dir = "./";

    std::unique_ptr<APlayerState> m_idle;
    std::unique_ptr<APlayerState> m_playing;
    std::unique_ptr<APlayerState> m_paused;
    std::unique_ptr<APlayerState> m_ending;
    std::unique_ptr<APlayerState> m_connecting;
    std::unique_ptr<APlayerState> m_buffering;
    std::unique_ptr<APlayerState> m_wait;
    APlayerState* m_state = nullptr;              // player thread only (one of the above)

    std::atomic<OrvanePlayer::IPlayerDelegate*> m_delegate{nullptr};     // not owned
    std::atomic<OrvanePlayer::IFadeListener*> m_fade_listener{nullptr};  // not owned
    std::unique_ptr<CAudioSource> m_source;
    IAudioOutput* m_output = nullptr;             // the current output: one of the two below
    bool m_buffered_current = false;              // the current output is the buffered one
    std::string m_device_name = "plug:dmix";      // the current output's ALSA device
    std::unique_ptr<CPCMOutput> m_normal_output;
    // Before the buffered output, which counts into it: outlives it.
    CStreamHealth m_health;                       // player thread writes, any thread reads (atomics)
    std::unique_ptr<CPCMOutputBuffered> m_buffered_output;
    std::string m_buffered_track;                 // player thread only: the stream it was made for
    std::unique_ptr<CAudioDecoderChain> m_decoder;
    std::atomic<int> m_player_id{-1};
    std::unique_ptr<BufferingAlgorithm::CBufferingAlgorithm> m_rtp_algorithm;
    std::unique_ptr<BufferingAlgorithm::CBufferingAlgorithmNone> m_none_algorithm;
    OrvanePlayer::StreamParams m_params;          // guarded by the information lock
    std::unique_ptr<CVolumeControlAdapter> m_volume;
    std::unique_ptr<CFaderAdapter> m_fader;
    OrvanePlayer::PlaybackItem m_item;            // guarded by the information lock
    std::atomic<bool> m_initialized{false};
    mutable std::mutex m_failure_lock;            // guards m_failure only; held for copies alone
    OrvanePlayer::PlaybackFailure m_failure;      // guarded by m_failure_lock
    std::mutex m_settings_lock;                   // guards m_trust and m_rtp_source only
    std::shared_ptr<const CTrustStore> m_trust;   // guarded by m_settings_lock; null: checks on, system store
    std::string m_rtp_source;                     // guarded by m_settings_lock; empty: any host
    std::mutex m_interrupt_lock;                  // orders interrupts against timeout changes
    bool m_fresh_list = false;                    // player thread only: the list was just opened
    bool m_playing_out = false;                   // player thread only: a finite stream's end plays out
    static constexpr int32_t kMaxRefusalSteps = 6;  // 2^6 s passes the longest pause
    int32_t m_refusals = 0;                       // player thread only: codec refusals in a row
    bool m_mpg123_ready = false;                  // application thread (Initialize/Deinitialize)
    bool m_chain_left = false;                    // application thread: a thread that did not end still has the chain
};
