// CPlayer: turning the item into a track list, moving through it, opening, reading and
// closing tracks, and keeping the live PlaybackInfo current. Player thread only.
extern "C" {
#include <libavutil/error.h>
}

#include <algorithm>
#include <cstdint>

#include "player/decoder/CAudioDecoderChain.h"
#include "player/decoder/CAudioOutputDummy.h"
#include "player/engine/APlayerState.h"
#include "player/engine/CPlayer.h"
#include "player/output/CBufferingAlgorithm.h"
#include "player/output/CBufferingAlgorithmNone.h"
#include "player/output/CPCMOutput.h"
#include "player/output/CPCMOutputBuffered.h"
#include "player/playlist/CPlaylistFileMap.h"
#include "player/source/CAudioSource.h"
#include "utils/CLogger.h"

using namespace OrvanePlayer;

const int CPlayer::kEndOfFile = AVERROR_EOF;
const int CPlayer::kExit = AVERROR_EXIT;
const int CPlayer::kUndecodable = AVERROR_DECODER_NOT_FOUND;

namespace {
constexpr int kMissingFile = -2;

bool IsUrl(const std::string& name) { return name.find("://") != std::string::npos; }

bool IsRtp(const std::string& name) { return name.find("rtp://") != std::string::npos; }

// The source's time-out for a stream: its buffer delay and accuracy, plus 5 s.
unsigned SourceTimeoutFor(const StreamParams& p, bool rtp) {
    return rtp ? (p.rtp_accuracy_ms + p.rtp_delay_ms) / 1000 + 5 : (p.tcp_accuracy_ms + p.tcp_delay_ms) / 1000 + 5;
}

unsigned AddressWord(const void* pointer) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer));
}
}  // namespace

bool CPlayer::PlaylistHasTracks() const {
    auto* self = const_cast<CPlayer*>(this);
    utils::scoped_lock lock(*self);
    return m_playlist->GetTrackCount() > 0;
}

int CPlayer::OpenPlaylist(const std::string& caller) {
    const char* prefix = get_player_prefix();
    m_health.End();  // a new item: a stream in it starts its own count
    StopAudio();
    std::string item_name;
    std::string single_name;
    bool shuffle = false;
    {
        utils::scoped_lock lock(*this);
        m_playlist->Clear();
        item_name = m_item_name;
        single_name = m_single_item_name;
        shuffle = m_shuffle;
    }
    if (!item_name.empty()) {
        int n = 0;
        {
            utils::scoped_lock lock(*this);
            n = m_playlist->ParsePlaylist(item_name, false);
            if (n > 0) {
                if (shuffle) {
                    utils::logger.info("%s CPlayer::OpenPlaylist(): %s: ---------- SHUFFLE ON --------\n", prefix,
                                       caller.c_str());
                    m_playlist->Shuffle();
                } else {
                    utils::logger.info("%s CPlayer::OpenPlaylist(): %s: ---------- SHUFFLE OFF --------\n", prefix,
                                       caller.c_str());
                }
            }
        }
        if (n > 0) {
            utils::logger.notice("%s %s id=%d, state=%s, %s : PLAYLIST [%s] start\n", prefix, prefix,
                                 get_player_id(), StateName(), caller.c_str(), item_name.c_str());
            StartAudio();
            m_fresh_list = true;
            return MoveTrackUp(caller, false) ? 1 : 0;
        }
        utils::logger.error("%s ERROR :CPlayer::OpenPlaylist(): %s: Error parsing playlist %s return code: %d\n",
                            prefix, caller.c_str(), item_name.c_str(), n);
        PlaybackInfo copy = InfoCopy();
        copy.m_playlist_name = item_name;
        copy.m_curr_music_file = item_name;
        if (IPlayerDelegate* delegate = m_delegate) {
            delegate->NotifyPlaybackError(copy, EPLAYER_ITEM_NOT_PLAYABLE);
            if (n == kMissingFile) delegate->NotifyPlaybackItemMissing(copy, item_name);
        }
    } else if (!single_name.empty()) {
        {
            utils::scoped_lock lock(*this);
            m_playlist->SetSingleItem(single_name, single_name, true);
        }
        utils::logger.notice("%s %s id=%d, state=%s, %s : ITEM [%s] start\n", prefix, prefix, get_player_id(),
                             StateName(), caller.c_str(), single_name.c_str());
        StartAudio();
        m_fresh_list = true;
        return MoveTrackUp(caller, false) ? 1 : 0;
    } else {
        utils::logger.info("%s CPlayer::OpenPlaylist(): Error empty item found.\n", prefix);
        if (IPlayerDelegate* delegate = m_delegate) {
            const PlaybackInfo info = InfoCopy();
            delegate->NotifyPlaybackError(info, EPLAYER_ITEM_NOT_PLAYABLE);
            delegate->NotifyPlaybackItemMissing(info, item_name);
        }
    }
    StartAudio();
    SetCurrentTrack(std::string());
    return 0;
}

bool CPlayer::MoveTrackUp(const std::string& caller, bool notify) {
    const char* prefix = get_player_prefix();
    std::string name;
    bool ended = false;
    bool all_failed = false;
    bool item_finished = false;
    {
        utils::scoped_lock lock(*this);
        ended = m_playlist->MoveToNext(name) != 0;
        if (m_fresh_list) {
            // Entering a list that was just opened is its first pass, not a wrap of it:
            // no repetition is spent and the item does not end.
            m_fresh_list = false;
            ended = m_playlist->GetTrackCount() == 0;
        } else if (ended) {
            if (m_playlist->HasAvailableTracks()) {
                m_playlist->ResetAvailableCount();
                if (m_info.m_repeat_count >= 1) {
                    --m_info.m_repeat_count;
                    ended = false;
                } else if (m_info.m_repeat_count < 0) {
                    ended = false;
                } else {
                    utils::logger.info("%s CPlayer::MoveTrackUp():-------------------------|> %s: Playback Item end passed!\n",
                                       prefix, caller.c_str());
                    m_item_started = false;
                    item_finished = true;
                }
            } else {
                all_failed = true;
            }
        }
    }
    if (item_finished && notify) {
        if (IPlayerDelegate* delegate = m_delegate) {
            std::string item;
            {
                utils::scoped_lock lock(*this);
                item = m_item_name.empty() ? m_single_item_name : m_item_name;
            }
            delegate->NotifyItemPlaybackFinished(InfoCopy(), item);
        }
    }
    if (all_failed) {
        utils::logger.error(
            "%s ERROR :%s id=%d, state=%s, CPlayer::MoveTrackUp():-----|> %s: All Playlist tracks failed to open! "
            "Stopping Player.\n",
            prefix, prefix, get_player_id(), StateName(), caller.c_str());
        NotifyError(EPLAYER_ITEM_NOT_PLAYABLE);
    }
    SetCurrentTrack(name);
    return ended;
}

void CPlayer::MoveTrackDown(const std::string& caller) {
    std::string name;
    bool wrapped = false;
    {
        utils::scoped_lock lock(*this);
        m_fresh_list = false;
        wrapped = m_playlist->MoveToPrevious(name) != 0;
    }
    if (wrapped)
        utils::logger.info("%s CPlayer::MoveTrackDown():-------------------------|> %s: Playback Item begin passed!\n",
                           get_player_prefix(), caller.c_str());
    SetCurrentTrack(name);
}

void CPlayer::SetCurrentTrack(const std::string& name) {
    utils::scoped_lock lock(*this);
    m_current_track = name;
}

bool CPlayer::OpenTrack(const std::string& caller) {
    const char* prefix = get_player_prefix();
    m_playing_out = false;
    std::string track;
    bool nothing_assigned = false;
    {
        utils::scoped_lock lock(*this);
        track = m_current_track;
        nothing_assigned = m_item_name.empty() && track.empty();
        if (!nothing_assigned) {
            m_info.m_artist_name.clear();
            m_info.m_album_name.clear();
        }
    }
    if (nothing_assigned) {
        utils::logger.info(
            "%s CPlayer::OpenTrack(): %s: No playlist or other item is assigned returning to idle state.\n", prefix,
            caller.c_str());
        SetState(m_idle.get());
        m_is_stream = false;
        return false;
    }
    const bool stream = IsUrl(track);
    int r = 0;
    ApplyConnectionSettings();
    if (!stream) {
        m_is_stream = false;
        m_health.End();
        SwitchToNormalOutput();
        const std::string path = m_media_dir + track;
        utils::logger.info("%s CPlayer[%d]::OpenTrack(): %s found in DB.\n", prefix, get_player_id(), path.c_str());
        r = m_source->Initialize(path, track);
    } else {
        m_is_stream = true;
        // Opening the item's stream again (after a time-out, a lost server, a failed
        // attempt) is a reconnection: the counts go on.
        if (m_health.Active()) {
            m_health.AddReconnect();
        } else {
            m_health.Start();
            m_source->ForgetRtpSender();
        }
        if (!SwitchToBufferedOutput(caller, track)) return false;
        r = m_source->Initialize(track, "");
    }
    // A codec nobody decodes stays so: each refusal in a row doubles the pause before the
    // next attempt. Any other outcome starts over.
    m_refusals = r == kUndecodable && m_is_stream ? std::min(m_refusals + 1, kMaxRefusalSteps) : 0;
    if (r != 0) {
        ReportOpenFailure(r, caller, track);
        return false;
    }
    return RestartDecoder(caller, track);
}

int32_t CPlayer::RetryPauseSeconds() const {
    if (m_refusals == 0) return 1;
    return std::min<int32_t>(int32_t{1} << m_refusals, kMaxRetryPauseS);
}

bool CPlayer::SwitchToNormalOutput() {
    if (m_output == m_normal_output.get()) return true;
    utils::logger.info("%s Setting PCM Output to NORMAL output address is 0x%x.\n", get_player_prefix(),
                       AddressWord(m_normal_output.get()));
    StopAudio();
    if (m_buffered_output) {
        m_buffered_output->DeInitialize();
        m_output = nullptr;
        m_buffered_current = false;
        m_buffered_output.reset();
    }
    m_output = m_normal_output.get();
    m_buffered_current = false;
    m_decoder->SetDependentOutput(m_output);
    StartAudio();
    return true;
}

// A reconnection of the stream that is playing: the audio buffered from the connection
// before plays on while the new one opens, and the new audio joins it.
bool CPlayer::KeepBufferedAudio(const std::string& track) {
    if (!m_buffered_output || !m_buffered_current || track != m_buffered_track || !m_buffered_output->HoldsAudio())
        return false;
    uint32_t level = 0;
    m_buffered_output->GetBufferedMs(&level);
    utils::logger.info("%s Keeping the BUFFERED output: %u ms of %s play on while it reconnects.\n",
                       get_player_prefix(), level, track.c_str());
    SetSourceTimeout(static_cast<int32_t>(SourceTimeoutFor(GetStreamParams(), IsRtp(track))));
    m_source->ContinueOnNextOpen();
    return true;
}

bool CPlayer::SwitchToBufferedOutput(const std::string& caller, const std::string& track) {
    const char* prefix = get_player_prefix();
    if (KeepBufferedAudio(track)) return true;
    utils::logger.info("%s Setting PCM Output to BUFFERED output address is 0x%x.\n", prefix,
                       AddressWord(m_buffered_output.get()));
    StopAudio();
    if (m_buffered_output) {
        m_buffered_output->DeInitialize();
        if (m_buffered_current) {
            m_output = nullptr;
            m_buffered_current = false;
        }
        m_buffered_output.reset();
    }
    const StreamParams p = GetStreamParams();
    if (!IsRtp(track)) {
        const unsigned s = SourceTimeoutFor(p, false);
        utils::logger.info("%s Switching to TCP buffering. Setting delay to %u s. [%s]\n", prefix, s, track.c_str());
        SetSourceTimeout(static_cast<int32_t>(s));
        m_buffered_output =
            std::make_unique<CPCMOutputBuffered>(m_none_algorithm.get(), p.tcp_delay_ms, p.tcp_accuracy_ms);
        // TCP can be slowed down: a server faster than real time waits instead of losing audio.
        m_buffered_output->SetBackPressure(&CPlayer::PlaybackCallback, this);
        m_low_buffer_threshold = p.tcp_low_threshold_ms;
    } else {
        const unsigned s = SourceTimeoutFor(p, true);
        utils::logger.info("%s Switching to RTP buffering. Setting delay to %u [%s]\n", prefix, s, track.c_str());
        SetSourceTimeout(static_cast<int32_t>(s));
        m_buffered_output =
            std::make_unique<CPCMOutputBuffered>(m_rtp_algorithm.get(), p.rtp_delay_ms, p.rtp_accuracy_ms);
        m_low_buffer_threshold = p.rtp_low_threshold_ms;
    }
    m_low_buffer_latch = false;
    m_buffered_track = track;
    m_buffered_output->SetHealth(&m_health);
    m_buffered_output->set_player_id(get_player_id());
    m_buffered_output->set_player_prefix(prefix);
    m_output = m_buffered_output.get();
    m_buffered_current = true;
    AssignPlayerChannel();
    m_decoder->SetDependentOutput(m_output);
    const AudioInfo none{};
    m_decoder->SetAudioFormat(&none);
    if (m_buffered_output->Initialize() < 0) {
        utils::logger.error("%s ERROR :CPlayer::OpenTrack(): %s: Error failed to create Buffered Audio Output!\n",
                            prefix, caller.c_str());
        NotifyError(EPLAYER_PCMAUDIO_OUT);
        return false;
    }
    OnOutputOpened();
    StartAudio();
    return true;
}

void CPlayer::ReportOpenFailure(int r, const std::string& caller, const std::string& track) {
    const char* prefix = get_player_prefix();
    utils::logger.info("%s CPlayer::OpenTrack(): %s: Audio source initialization error!\n", prefix, caller.c_str());
    IPlayerDelegate* delegate = m_delegate;
    if (!m_is_stream) {
        if (r == kMissingFile)
            utils::logger.info("%s CPlayer::OpenTrack():-------------------------|> missing file error detected\n",
                               prefix);
        else
            utils::logger.info("%s CPlayer::OpenTrack():-------------------------|> Open error detected\n", prefix);
        {
            utils::scoped_lock lock(*this);
            m_playlist->SetCurrentAvailable(false);
        }
        PublishFailure(EPLAYER_OPEN_TRACKFILE, "OpenTrack");
        if (!delegate) return;
        const PlaybackInfo info = InfoCopy();
        if (r == kMissingFile) delegate->NotifyPlaybackItemMissing(info, track);
        delegate->NotifyPlaybackError(info, EPLAYER_OPEN_TRACKFILE);
        return;
    }
    if (r == kUndecodable) {
        utils::logger.info("%s CPlayer::OpenTrack():-------------------------|> Undecodable codec %s detected, "
                           "next attempt in %d s\n",
                           prefix, m_source->GetRefusedCodec().c_str(), RetryPauseSeconds());
        PublishFailure(EPLAYER_OPEN_URL, "OpenTrack");
        NotifyError(EPLAYER_OPEN_URL);
    } else if (r == kExit && m_source->GetTimeout() == -1) {
        utils::logger.info("%s CPlayer::OpenTrack():-------------------------|> Custom interrupt detected\n", prefix);
    } else if (r == kExit) {
        utils::logger.info("%s CPlayer::OpenTrack():-------------------------|> URL time-out error detected\n",
                           prefix);
        PublishFailure(EPLAYER_SOURCE_TIMEOUT, "OpenTrack");
        NotifyError(EPLAYER_SOURCE_TIMEOUT);
    } else {
        utils::logger.info("%s CPlayer::OpenTrack():-------------------------|> Other error detected\n", prefix);
        PublishFailure(EPLAYER_OPEN_URL, "OpenTrack");
        NotifyError(EPLAYER_OPEN_URL);
    }
}

bool CPlayer::RestartDecoder(const std::string& caller, const std::string& track) {
    const char* prefix = get_player_prefix();
    AudioInfo audio{};
    m_source->GetAudioInfo(&audio);
    m_track_open = true;
    bool first_of_item = false;
    {
        utils::scoped_lock lock(*this);
        m_info.m_format_tag = static_cast<uint32_t>(audio.tag);
        m_partially = true;
        first_of_item = !m_item_started;
        m_item_started = true;
    }
    IPlayerDelegate* delegate = m_delegate;
    if (first_of_item && delegate) delegate->NotifyItemPlaybackStarted(InfoCopy());
    if (m_decoder->RestartFeed() == 0) {
        utils::logger.info("%s CPlayer::OpenTrack(): -------------------------|> Track %s successfully opened for playback.\n",
                           prefix, (m_media_dir + track).c_str());
        {
            utils::scoped_lock lock(*this);
            m_playlist->SetCurrentAvailable(true);
        }
        utils::logger.notice("%s %s id=%d, state=%s, %s :start.\n", prefix, prefix, get_player_id(), StateName(),
                             track.c_str());
        return true;
    }
    utils::logger.error("%s ERROR :CPlayer::OpenTrack(): %s: Feeder restarting failed!\n", prefix, caller.c_str());
    PublishFailure(m_is_stream ? EPLAYER_OPEN_URL : EPLAYER_OPEN_TRACKFILE, "OpenTrack");
    if (!delegate) return false;
    if (!m_is_stream) {
        {
            utils::scoped_lock lock(*this);
            m_playlist->SetCurrentAvailable(false);
        }
        delegate->NotifyPlaybackError(InfoCopy(), EPLAYER_OPEN_TRACKFILE);
    } else {
        delegate->NotifyPlaybackError(InfoCopy(), EPLAYER_OPEN_URL);
    }
    delegate->NotifyPlaybackItemMissing(InfoCopy(), track);
    return false;
}

void CPlayer::CloseTrack() {
    const char* prefix = get_player_prefix();
    const std::string track = CurrentTrack();
    if (track.empty()) {
        utils::logger.info("%s CPlayer::CloseTrack(): -------------------------|> Empty string provided for track filename.\n",
                           prefix);
        return;
    }
    const std::string path = m_media_dir + track;
    utils::logger.info("%s CPlayer::CloseTrack(): -------------------------|> Closing %s\n", prefix, path.c_str());
    m_source->DeInitialize();
    if (m_track_open) {
        utils::logger.info("%s CPlayer::CloseTrack(): Notifying end of stream for %s\n", prefix, path.c_str());
        NotifyAudioStreamFinished();
    } else {
        utils::logger.info("%s CPlayer::CloseTrack(): %s was never opened. Skipping NotifyAudioStreamFinished() \n",
                           prefix, path.c_str());
    }
    m_is_stream = false;
    m_track_open = false;
    m_playing_out = false;
}

void CPlayer::NotifyAudioStreamFinished() {
    IPlayerDelegate* delegate = m_delegate;
    if (!delegate) return;
    bool partially = true;
    {
        utils::scoped_lock lock(*this);
        partially = m_partially;
    }
    delegate->NotifyTrackPlaybackFinished(InfoCopy(), CurrentTrack(), partially);
}

int CPlayer::ProcessTrack() {
    if (m_playing_out) return PlayOutStream();
    const char* prefix = get_player_prefix();
    bool metadata_changed = false;
    const int r = m_source->ReadAudio(&metadata_changed);
    if (const uint64_t missing = m_source->TakeMissingPackets()) m_health.AddLost(missing);
    if (const uint64_t foreign = m_source->TakeForeignPackets()) m_health.AddForeign(foreign);
    if (r >= 0) {
        if (metadata_changed) UpdateTrackMetadata();
        return r;
    }
    if (r == kEndOfFile) {
        utils::logger.info("%s CPlayer::ProcessTrack():-------------------------|>EOF detected\n", prefix);
        {
            utils::scoped_lock lock(*this);
            m_partially = false;
        }
        if (StreamEndIsTrackEnd()) return PlayOutStream();
    } else if (r == kExit && m_source->GetTimeout() == -1) {
        utils::logger.info("%s CPlayer::ProcessTrack():-------------------------|> interrupt detected\n", prefix);
    } else if (r == kExit) {
        utils::logger.info("%s CPlayer::ProcessTrack():-------------------------|> time-out error detected\n", prefix);
        PublishFailure(EPLAYER_SOURCE_TIMEOUT, "ProcessTrack");
        NotifyError(EPLAYER_SOURCE_TIMEOUT);
    } else {
        utils::logger.info("%s CPlayer::ProcessTrack():-------------------------|> other error detected\n", prefix);
        PublishFailure(EPLAYER_PROCESS_BUFFER, "ProcessTrack");
        NotifyError(EPLAYER_PROCESS_BUFFER);
    }
    return r;
}

// A finite file over HTTP ends when its last buffered frame has played; a live stream
// that ends has lost its server, and the usual reconnection takes over at once.
bool CPlayer::StreamEndIsTrackEnd() {
    if (!m_is_stream || !m_buffered_current || !m_buffered_output || m_source->IsLiveStream()) return false;
    uint32_t level = 0;
    m_buffered_output->GetBufferedMs(&level);
    utils::logger.info("%s CPlayer::ProcessTrack(): end of a finite stream, playing out the %u ms still buffered\n",
                       get_player_prefix(), level);
    m_playing_out = true;
    // Opening it again (a repeated item) plays it anew: nothing to join to.
    m_buffered_track.clear();
    return true;
}

// One pass of the play-out: feed the device, then sleep a little so that the player
// thread carries out commands in between. A custom interrupt (stop, new item) ends it
// like an interrupted read.
int CPlayer::PlayOutStream() {
    if (m_source->GetTimeout() < 0) {
        m_playing_out = false;
        utils::logger.info("%s CPlayer::ProcessTrack():-------------------------|> interrupt detected\n",
                           get_player_prefix());
        return kExit;
    }
    const int r = m_buffered_output ? m_buffered_output->PlayOut() : 0;
    if (r > 0) {
        suspend(kPlayOutPassMs);
        return r;
    }
    m_playing_out = false;
    return kEndOfFile;
}

void CPlayer::UpdateTrackMetadata() {
    ContentInfo content;
    m_source->GetContentInfo(content);
    AudioInfo audio{};
    m_source->GetAudioInfo(&audio);
    {
        utils::scoped_lock lock(*this);
        m_info.m_artist_name.clear();
        m_info.m_album_name.clear();
        m_info.m_bit_rate = audio.bit_rate;
        m_info.m_curr_song_name = content.title;
    }
    if (IPlayerDelegate* delegate = m_delegate) delegate->NotifyPlaybackInfoChanged(InfoCopy());
}

void CPlayer::RememberTrackDuration() {
    const int64_t duration = m_source->GetDuration();
    utils::scoped_lock lock(*this);
    m_track_duration_ms = duration;
}

void CPlayer::LoadPlaybackInfo(bool notify) {
    const char* prefix = get_player_prefix();
    // Read before the information lock: the fader's lock is never taken inside it.
    const uint16_t volume = GetVolume();
    {
        utils::scoped_lock lock(*this);
        m_info.m_playlist_digest = m_source->GetPlaylistDigest();
        m_info.m_curr_song_name = m_current_track;
        m_info.m_artist_name.clear();
        m_info.m_album_name.clear();
        ContentInfo content;
        m_source->GetContentInfo(content);
        if (!content.title.empty()) m_info.m_curr_song_name = content.title;
        m_info.m_album_name = content.album;
        m_info.m_artist_name = content.artist;
        m_info.m_curr_music_file = m_current_track;
        utils::logger.info("%s CPlayer::LoadPlaybackInfo() song name to be displayed: [%s | %s]\n", prefix,
                           m_info.m_curr_music_file.c_str(), m_info.m_curr_song_name.c_str());
        m_info.m_curr_volume = volume;
        m_info.m_next_music_file.clear();
        m_info.m_playlist_name = m_item_name.empty() ? m_single_item_name : m_item_name;
        m_info.m_song_id = m_playlist->GetCurrentIndex();
        m_next_is_last = m_playlist->GetNext(m_info.m_next_music_file, false) != 0;
        utils::logger.debug("%s CPlayer::LoadPlaybackInfo() next item is: [%s]\n", prefix,
                            m_info.m_next_music_file.c_str());
        m_info.m_next_song_name = m_info.m_next_music_file;
        LoadNextSongName();
    }
    IPlayerDelegate* delegate = m_delegate;
    if (!notify || !delegate) return;
    if (PlaylistHasTracks()) {
        if (m_next_is_last) utils::logger.info("%s CPlayer::LoadPlaybackInfo() last song detected\n", prefix);
        delegate->NotifyTrackPlaybackStarted(InfoCopy(), m_next_is_last);
    } else {
        delegate->NotifyPlaybackError(InfoCopy(), EPLAYER_ITEM_NOT_PLAYABLE);
    }
}

// Expects the information lock held: the next file's tags are read with a temporary source.
void CPlayer::LoadNextSongName() {
    const std::string next = m_info.m_next_music_file;
    if (next.empty() || IsUrl(next) || next == m_current_track) return;
    const char* prefix = get_player_prefix();
    utils::logger.info("%s CPlayer::LoadPlaybackInfo() Extracting ID3 tag metadata.\n", prefix);
    CAudioOutputDummy sink;
    CAudioSource probe;
    probe.set_player_id(get_player_id());
    probe.set_player_prefix(prefix);
    probe.SetOutput(&sink);
    if (probe.Initialize(m_media_dir + next, next) != 0) {
        utils::logger.error(
            "%s ERROR :CPlayer::LoadPlaybackInfo(): Could not find next item in DB defaulting to file location name",
            prefix);
    } else {
        ContentInfo content;
        probe.GetContentInfo(content);
        if (!content.title.empty()) m_info.m_next_song_name = content.title;
        if (!content.artist.empty()) m_info.m_next_song_name += " (" + content.artist + ")";
        utils::logger.info("%s CPlayer::LoadPlaybackInfo() setting next song to: [%s]\n", prefix,
                           m_info.m_next_song_name.c_str());
    }
    probe.DeInitialize();
}
