#include "player/source/CAudioSource.h"
#include "utils/Assert.h"

#include <curl/curl.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <strings.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include "player/source/CStreamChoice.h"
#include "player/source/FailureReasons.h"
#include "utils/CLogger.h"
#include "utils/Utf8.h"
#include "utils/utils.h"

namespace {

const char kStreamTitle[] = "StreamTitle='";
constexpr size_t kStreamTitleLength = sizeof(kStreamTitle) - 1;
// Largest size the output interface carries in one call.
constexpr int kMaxWrite = 0xFFFF;

std::string AvErrorText(int error, size_t size)
{
    std::string text(size, '\0');
    av_strerror(error, text.data(), size);
    text.resize(strlen(text.c_str()));
    return text;
}

bool IsRtpUrl(const std::string& url)
{
    return url.size() > 6 && strncasecmp(url.c_str(), "rtp://", 6) == 0;
}

bool EndsWithM4a(const std::string& text)
{
    const std::string tail = text.substr(text.size() - 4);
    return tail == ".m4a" || tail == ".M4A";
}

}  // namespace

void CAudioSource::FormatClose::operator()(AVFormatContext* context) const noexcept
{
    avformat_close_input(&context);
}

// A custom AVIOContext owns a separately allocated buffer (libavformat may have replaced it).
void CAudioSource::IOFree::operator()(AVIOContext* io) const noexcept
{
    av_freep(&io->buffer);
    avio_context_free(&io);
}

void CAudioSource::DictFree::operator()(AVDictionary* dict) const noexcept
{
    av_dict_free(&dict);
}

void CAudioSource::PacketFree::operator()(AVPacket* packet) const noexcept
{
    av_packet_free(&packet);
}

CAudioSource::CAudioSource()
{
    set_player_prefix("PLAYBACK :");
    SetTimeout(kDefaultTimeout);
    SetName("CAudioSource");
    SetDetail("");
    // Only a custom interrupt stops a resolution early; its time budget is libcurl's.
    m_playlist_resolver.SetInterruptCheck(
        [](void* self) { return static_cast<CAudioSource*>(self)->GetTimeout() < 0; }, this);
}

CAudioSource::~CAudioSource()
{
    DeInitialize();
}

void CAudioSource::set_player_prefix(const char* text)
{
    std::string prefix = text ? text : "";
    prefix += " AUDIO SOURCE:";
    APlayerInfoAdapter::set_player_prefix(prefix.c_str());
    m_playlist_resolver.set_player_prefix((prefix + " URL PLAYLIST:").c_str());
    if (m_rtp) {
        m_rtp->set_player_prefix(prefix.c_str());
    }
}

void CAudioSource::SetRequestOptions(const std::string opts[2])
{
    m_user_agent = opts[0];
    m_headers = opts[1] + "\r\n";
    m_playlist_resolver.SetRequestOptions(opts);
}

int CAudioSource::NetworkInit()
{
    // libcurl's global set-up (TLS library included) is not thread-safe and would
    // otherwise happen on the player thread at the first playlist probe: do it here,
    // on the thread that initialises the player, before its thread starts.
    if (!m_curl_ready) {
        m_curl_ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    }
    return avformat_network_init();
}

void CAudioSource::NetworkDeinit()
{
    CloseContext();
    avformat_network_deinit();
    if (m_curl_ready) {
        curl_global_cleanup();
        m_curl_ready = false;
    }
}

void CAudioSource::Interrupt()
{
    utils::logger.notice("%s  Interrupting current AV format operation.", get_player_prefix());
    CTimeout_handler::Interrupt();
}

std::string CAudioSource::GetPlaylistDigest() const
{
    std::string hex;
    if (m_opened_through_playlist) {
        utils::convert_array_to_hex_string(m_playlist_digest, sizeof(m_playlist_digest), hex);
    }
    return hex;
}

void CAudioSource::SetTrust(std::shared_ptr<const CTrustStore> trust)
{
    m_trust = trust;
    m_playlist_resolver.SetTrust(std::move(trust));
}

void CAudioSource::SetFailure(int32_t cause, const std::string& reason, int32_t http_status)
{
    if (m_failure.cause == OrvanePlayer::FAILURE_NONE) {
        m_failure = failure::Make(cause, reason, http_status);
    }
}

// libavformat checks nothing unless told to; the options reach the TLS layer below HTTP,
// redirects and reconnections included.
void CAudioSource::AddTlsOptions(AVDictionary** dictionary) const
{
    if (m_trust && !m_trust->Verify()) {
        av_dict_set(dictionary, "tls_verify", "0", 0);
        return;
    }
    av_dict_set(dictionary, "tls_verify", "1", 0);
    if (m_trust && !m_trust->BundlePath().empty()) {
        av_dict_set(dictionary, "ca_file", m_trust->BundlePath().c_str(), 0);
    }
}

// The resolver's probe, when it failed, tells more than libavformat's error code (the
// exact HTTP status, which check refused a certificate): it wins.
void CAudioSource::NoteOpenFailure(int result, const std::string& url, bool local_file_missing)
{
    if (local_file_missing) {
        SetFailure(OrvanePlayer::FAILURE_OTHER, "cannot open " + url + ": " + strerror(-result));
        return;
    }
    const OrvanePlayer::PlaybackFailure& probe = m_playlist_resolver.GetFailure();
    if (!m_open_target.empty() && probe.cause != OrvanePlayer::FAILURE_NONE) {
        SetFailure(probe.cause, probe.reason, probe.http_status);
        return;
    }
    const OrvanePlayer::PlaybackFailure why =
        failure::FromAvError(result, m_open_target.empty() ? url : m_open_target, GetTimeout());
    SetFailure(why.cause, why.reason, why.http_status);
}

void CAudioSource::NoteReadFailure(int result)
{
    // The player's own interrupt is no failure of the stream.
    if (result == AVERROR_EXIT && GetTimeout() < 0) {
        return;
    }
    const OrvanePlayer::PlaybackFailure why = failure::FromAvError(result, m_last_url, GetTimeout());
    SetFailure(why.cause, why.reason, why.http_status);
}

int CAudioSource::GetContentInfo(ContentInfo& out)
{
    out = m_content_info;
    return 0;
}

int CAudioSource::GetAudioInfo(AudioInfo* out)
{
    if (out) {
        *out = m_info;
    }
    return 0;
}

void CAudioSource::ClearContentInfo()
{
    m_content_info = ContentInfo{};
}

int CAudioSource::Initialize(const std::string& url, const std::string& name)
{
    utils::logger.notice("%s  setting to: [%s]", get_player_prefix(), url.c_str());
    ClearFailure();
    m_open_target.clear();
    m_opened_through_playlist = false;
    memset(m_playlist_digest, 0, sizeof(m_playlist_digest));
    ClearContentInfo();

    // A context left open by a caller that skipped DeInitialize would leak; close it, but
    // remember that a stream was selected for the result of a failed stream choice.
    const bool had_stream = m_stream != nullptr;
    CloseContext();

    AVDictionary* raw_dictionary = nullptr;
    av_dict_set(&raw_dictionary, "icy", "1", 0);
    av_dict_set(&raw_dictionary, "user-agent", m_user_agent.c_str(), 0);
    av_dict_set(&raw_dictionary, "headers", m_headers.c_str(), 0);
    m_codec_type = -1;
    m_refused_codec.clear();
    m_info = AudioInfo{};
    m_icy_seen = false;
    m_rejoin.Begin(m_continue_next && url == m_last_url);
    m_continue_next = false;
    m_format_context.reset(avformat_alloc_context());
    Restart();

    const bool local = url.find("://") == std::string::npos;
    bool local_file_missing = false;
    int result = AVERROR(ENOMEM);
    if (m_format_context) {
        result = local ? OpenLocal(url, &raw_dictionary) : OpenNetwork(url, &raw_dictionary);
        local_file_missing = local && m_file.GetDescriptor() < 0;
    }
    Dictionary dictionary(raw_dictionary);
    dictionary.reset();

    if (result < 0) {
        NoteOpenFailure(result, url, local_file_missing);
        if (local_file_missing) {
            // Already logged; only the fresh context has to go.
            m_format_context.reset();
            return result;
        }
        const std::string text = AvErrorText(result, 128);
        if (result == AVERROR_EXIT && GetTimeout() < 0) {
            // Stopped by the player (stop, new item) while opening: no fault.
            utils::logger.info("%s  CAudioSource::Initialize(): opening %s was interrupted", get_player_prefix(),
                               url.c_str());
        } else {
            utils::logger.error("%s ERROR :CAudioSource::Initialize(): Could not initialize player for "
                                "audio source %s: (%d) %s",
                                get_player_prefix(), url.c_str(), result, text.c_str());
        }
        DeInitialize();
        return result;
    }
    result = SelectStream(url, had_stream);
    if (result < 0) {
        return result;
    }
    ApplyAdtsFallback(url, name);
    StopHeaderChecksum();
    ConfigureOutput();
    m_last_url = url;
    ReadTags();
    utils::logger.notice("%s  audio source '%s', song name '%s', album name '%s' artist name '%s'",
                         get_player_prefix(), url.c_str(), m_content_info.title.c_str(),
                         m_content_info.album.c_str(), m_content_info.artist.c_str());
    utils::logger.notice("%s  Setting audio source to %s is OK.", get_player_prefix(), url.c_str());
    return 0;
}

int CAudioSource::OpenLocal(const std::string& url, AVDictionary** dictionary)
{
    utils::logger.notice("%s Opening normal playback audio source %s.", get_player_prefix(), url.c_str());
    SetDetail(url);
    const int result = m_file.Open(url, 1);
    if (result < 0) {
        utils::logger.error("%s ERROR :CAudioSource::Initialize(): Error opening normal playback audio source %s.",
                            get_player_prefix(), url.c_str());
        return result;
    }
    return init_avcontext_with_custom_io(url, dictionary);
}

int CAudioSource::OpenNetwork(const std::string& url, AVDictionary** dictionary)
{
    UTILS_ASSERT(m_libav_callback, "m_libav_callback");
    m_format_context->interrupt_callback.callback = m_libav_callback;
    m_format_context->interrupt_callback.opaque = m_libav_context;
    av_dict_set(dictionary, "probesize", kStreamProbeSize, 0);
    av_dict_set(dictionary, "analyzeduration", kStreamAnalyzeUs, 0);
    // A stream joined mid-flight starts inside a frame, where the MP3 and ADTS probes
    // never score high enough to stop early: unbounded, libavformat would wait for up to
    // 1 MiB of it at the audio's pace before the first packet.
    av_dict_set(dictionary, "formatprobesize", kStreamProbeSize, 0);
    AddTlsOptions(dictionary);

    if (IsRtpUrl(url)) {
        // No playlist lies behind an RTP URL, and libcurl could not fetch one.
        m_opened_through_playlist = false;
        memset(m_playlist_digest, 0, sizeof(m_playlist_digest));
        utils::logger.notice("%s Opening URL playback audio source %s.", get_player_prefix(), url.c_str());
        return OpenRtp(url, dictionary);
    }
    std::string stream_url;
    int result;
    if (m_playlist_resolver.ExtractURL(url.c_str(), stream_url, m_playlist_digest) == 0) {
        m_opened_through_playlist = true;
        utils::logger.notice("%s Opening play list stream audio source %s.", get_player_prefix(),
                             stream_url.c_str());
        if (IsRtpUrl(stream_url)) {
            return OpenRtp(stream_url, dictionary);
        }
        SetDetail(stream_url);
        m_open_target = stream_url;
        result = OpenInput(stream_url.c_str(), dictionary);
    } else {
        m_opened_through_playlist = false;
        memset(m_playlist_digest, 0, sizeof(m_playlist_digest));
        utils::logger.notice("%s Opening URL playback audio source %s.", get_player_prefix(), url.c_str());
        SetDetail(url);
        m_open_target = url;
        result = OpenInput(url.c_str(), dictionary);
    }
    if (result == 0) {
        m_info.bit_rate = GetCurrentSourceBitrate();
    }
    return result;
}

// avformat_open_input frees the context when it fails: hand it over, take it back on success.
int CAudioSource::OpenInput(const char* target, AVDictionary** dictionary)
{
    // The resolver may have taken a while; the stream's own open gets the full timeout.
    Restart();
    AVFormatContext* context = m_format_context.release();
    int result = avformat_open_input(&context, target, nullptr, dictionary);
    m_format_context.reset(context);
    // Below HTTPS the TLS layer turns the interrupt callback's exit into an I/O error.
    if (result < 0 && IsExpired()) {
        result = AVERROR_EXIT;
    }
    return result;
}

// RTP is received by the source itself (sender and sequence numbers decide what plays);
// the payload, MPEG audio or an MPEG transport stream, goes to libavformat's demuxer
// through custom I/O.
int CAudioSource::OpenRtp(const std::string& url, AVDictionary** dictionary)
{
    SetDetail(url);
    if (!m_rtp) {
        m_rtp = std::make_unique<CRtpReceiver>();
        m_rtp->set_player_id(get_player_id());
        std::string prefix = get_player_prefix();
        m_rtp->set_player_prefix(prefix.c_str());
    }
    if (url != m_rtp_url) {
        m_rtp->ForgetSender();
        m_rtp_url = url;
    }
    m_rtp->SetAllowedSource(m_rtp_source);
    m_rtp->SetInterrupt(m_libav_callback, m_libav_context);
    int result = m_rtp->Open(url);
    if (result < 0) {
        return result;
    }
    Restart();
    const int payload_type = m_rtp->WaitForPayloadType();
    if (payload_type < 0) {
        return payload_type;
    }
    const char* demuxer = payload_type == CRtpReceiver::kPayloadMpegAudio ? "mp3"
                          : payload_type == CRtpReceiver::kPayloadMpegTs  ? "mpegts"
                                                                          : nullptr;
    const AVInputFormat* format = demuxer ? av_find_input_format(demuxer) : nullptr;
    if (!format) {
        utils::logger.error("%s ERROR :CAudioSource::Initialize(): RTP payload type %d of %s is neither MPEG audio "
                            "nor an MPEG transport stream",
                            get_player_prefix(), payload_type, url.c_str());
        return AVERROR_INVALIDDATA;
    }
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIOBufferSize));
    if (!buffer) {
        return AVERROR(ENOMEM);
    }
    m_io_context.reset(
        avio_alloc_context(buffer, kIOBufferSize, 0, this, &CAudioSource::_rtp_read_callback, nullptr, nullptr));
    if (!m_io_context) {
        av_free(buffer);
        return AVERROR(ENOMEM);
    }
    m_format_context->pb = m_io_context.get();
    m_format_context->flags |= AVFMT_FLAG_CUSTOM_IO;
    m_rtp_open = true;
    AVFormatContext* context = m_format_context.release();
    result = avformat_open_input(&context, "", format, dictionary);
    m_format_context.reset(context);
    if (result == 0) {
        m_info.bit_rate = GetCurrentSourceBitrate();
    }
    return result;
}

int CAudioSource::_rtp_read_callback(void* opaque, uint8_t* buf, int size)
{
    UTILS_ASSERT(opaque, "opaque");
    return static_cast<CAudioSource*>(opaque)->m_rtp->Read(buf, size);
}

void CAudioSource::ForgetRtpSender()
{
    if (m_rtp) {
        m_rtp->ForgetSender();
    }
    m_rtp_url.clear();
}

int CAudioSource::init_avcontext_with_custom_io(const std::string& url, AVDictionary** /*dictionary*/)
{
    UTILS_ASSERT(m_format_context, "m_avformat_context");
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIOBufferSize));
    if (!buffer) {
        m_format_context.reset();
        return AVERROR(ENOMEM);
    }
    m_io_context.reset(avio_alloc_context(buffer, kIOBufferSize, 0, this, &CAudioSource::_read_callback,
                                          nullptr, &CAudioSource::_seek_callback));
    if (!m_io_context) {
        av_free(buffer);
        m_format_context.reset();
        return AVERROR(ENOMEM);
    }
    int result = ProbeLocalFormat(url, m_io_context.get());
    if (result == 0) {
        result = avformat_find_stream_info(m_format_context.get(), nullptr);
        if (result >= 0) {
            result = 0;
            av_dump_format(m_format_context.get(), 0, url.c_str(), 0);
            const int64_t duration = m_format_context->duration;
            // An unknown duration is reported as 0 rather than a huge negative number.
            m_duration = duration == AV_NOPTS_VALUE ? 0 : duration / 1000;
            utils::logger.notice("%s PLAYER: Audio input is initialized successfully : %s, duration is %" PRId64 "[ms]",
                                 get_player_prefix(), url.c_str(), m_duration);
            return 0;
        }
    }
    m_format_context.reset();
    m_io_context.reset();
    return result;
}

int CAudioSource::ProbeLocalFormat(const std::string& url, AVIOContext* io)
{
    if (!m_probe_buffer) {
        m_probe_buffer.reset(new (std::nothrow) uint8_t[kProbeSize + kProbePadding]);
        if (!m_probe_buffer) {
            return AVERROR(ENOMEM);
        }
    }
    memset(m_probe_buffer.get(), 0, kProbeSize + kProbePadding);
    const int length = m_file.Read(m_probe_buffer.get(), kProbeSize);
    m_file.Seek(0, SEEK_SET);
    const AVInputFormat* format = GuessFormat(length > 0 ? length : 0);
    if (!format) {
        utils::logger.error("%s ERROR :CAudioSource::init_avcontext_with_custom_io(): Can not guess the audio format from %s",
                            get_player_prefix(), url.c_str());
        return -1;
    }
    m_format_context->iformat = format;
    m_format_context->flags |= AVFMT_FLAG_CUSTOM_IO;
    m_format_context->pb = io;
    AVFormatContext* context = m_format_context.release();
    const int result = avformat_open_input(&context, nullptr, nullptr, nullptr);
    m_format_context.reset(context);
    if (result < 0) {
        utils::logger.error("%s ERROR : Can not open audio source %s", get_player_prefix(), url.c_str());
    }
    return result;
}

// Probes the first bytes of the file, from 2 KiB up to all that was read, and stops at the
// first size that names a format with confidence: the MPEG audio probe walks every byte it
// is given, and 256 KiB of it cost as much as decoding a minute of the file. Only what was
// read is probed: zero fill past a short file must not look like media. Each size is
// followed by zero padding, as the probes expect.
const AVInputFormat* CAudioSource::GuessFormat(int length)
{
    uint8_t* const buffer = m_probe_buffer.get();
    const AVInputFormat* format = nullptr;
    for (int size = std::min(kFirstProbeSize, length);; size = std::min(size * 2, length)) {
        uint8_t saved[kProbePadding];
        memcpy(saved, buffer + size, kProbePadding);
        memset(buffer + size, 0, kProbePadding);
        AVProbeData probe{};
        probe.filename = "";
        probe.buf = buffer;
        probe.buf_size = size;
        probe.mime_type = nullptr;
        int score = 0;
        format = av_probe_input_format2(&probe, 1, &score);
        memcpy(buffer + size, saved, kProbePadding);
        if ((format && score > AVPROBE_SCORE_RETRY) || size >= length) {
            return format;
        }
    }
}

int CAudioSource::_read_callback(void* opaque, uint8_t* buf, int size)
{
    UTILS_ASSERT(opaque, "opaque");
    auto* self = static_cast<CAudioSource*>(opaque);
    const int result = self->m_file.Read(buf, size);
    // Current libavformat wants end of file said explicitly, not as a zero-length read.
    return result > 0 ? result : AVERROR_EOF;
}

int64_t CAudioSource::_seek_callback(void* opaque, int64_t offset, int whence)
{
    UTILS_ASSERT(opaque, "opaque");
    auto* self = static_cast<CAudioSource*>(opaque);
    utils::logger.info("%s Seek pos=%" PRId64 ", whence=%d", self->get_player_prefix(), offset, whence);
    if (whence == AVSEEK_SIZE) {
        return self->m_file.GetSize();
    }
    const int64_t position = self->m_file.Seek(offset, whence & ~AVSEEK_FORCE);
    if (position < 0) {
        utils::logger.warning("%s Seek, return error.", self->get_player_prefix());
        return -1;
    }
    return position;
}

int CAudioSource::SelectStream(const std::string& url, bool had_stream)
{
    int decoder_id = -1;
    if (CStreamChoice::Choose(m_format_context.get(), m_stream, decoder_id, m_refused_codec)) {
        m_codec_type = decoder_id;
        if (decoder_id == DECODER_ID_AAC) {
            utils::logger.info("%s  AAC codec type detected for %s.", get_player_prefix(), url.c_str());
        } else if (decoder_id == DECODER_ID_MP3) {
            utils::logger.info("%s  MP3 codec type detected for %s.", get_player_prefix(), url.c_str());
        } else {
            utils::logger.info("%s  %s codec type detected for %s.", get_player_prefix(),
                               avcodec_get_name(m_stream->codecpar->codec_id), url.c_str());
        }
        return 0;
    }
    if (!m_refused_codec.empty()) {
        // Reopening does not make a codec decodable: say which one it is, once per open.
        utils::logger.error("%s ERROR :CAudioSource::Initialize(): No decoder for the codec %s of %s",
                            get_player_prefix(), m_refused_codec.c_str(), url.c_str());
        SetFailure(OrvanePlayer::FAILURE_UNDECODABLE, "no audio the player can decode: codec " + m_refused_codec);
        return AVERROR_DECODER_NOT_FOUND;
    }
    if (had_stream) {
        utils::logger.error("%s ERROR :CAudioSource::Initialize(): undefined codec type\n", get_player_prefix());
        return -1;
    }
    utils::logger.error("%s ERROR :CAudioSource::Initialize(): No audio stream detected in %s",
                        get_player_prefix(), url.c_str());
    SetFailure(OrvanePlayer::FAILURE_UNDECODABLE, "no audio the player can decode");
    return -EINVAL;
}

// The MPEG audio demuxer starts a CRC over the input to check a Xing/Info header and ends
// it only when it finds one: without that header every byte of the file went through the
// CRC for nothing. Reading after the header nobody asks for it.
void CAudioSource::StopHeaderChecksum()
{
    if (m_codec_type == DECODER_ID_MP3 && m_format_context->pb) {
        m_format_context->pb->update_checksum = nullptr;
    }
}

// Raw AAC without an AudioSpecificConfig can only be ADTS, unless the item says it is M4A.
void CAudioSource::ApplyAdtsFallback(const std::string& url, const std::string& name)
{
    if (m_codec_type != DECODER_ID_AAC || m_stream->codecpar->extradata_size != 0) {
        return;
    }
    const std::string& item = name.size() < 5 ? url : name;
    if (item.size() < 5 || EndsWithM4a(item)) {
        return;
    }
    utils::logger.info("%s  No codec extra data found for item %s. Assuming AAC ADTS.",
                       get_player_prefix(), item.c_str());
    m_codec_type = DECODER_ID_AAC_ADTS;
}

void CAudioSource::ConfigureOutput()
{
    if (m_output) {
        m_output->SetDecoderId(m_codec_type);
        m_output->SetExtraData(&m_stream->codecpar->extradata, &m_stream->codecpar->extradata_size,
                               m_format_context.get());
    }
    // The decoders learn the format from the stream; only the bit rate measured while
    // opening a URL is worth keeping.
    const int64_t bit_rate = m_info.bit_rate;
    m_info = AudioInfo{};
    m_info.bit_rate = bit_rate;
    utils::logger.info("%s  Opened %s with AVContext = 0x%" PRIxPTR " and stream 0x%" PRIxPTR " ret is %d\n",
                       get_player_prefix(), m_last_url.c_str(),
                       reinterpret_cast<uintptr_t>(m_format_context.get()),
                       reinterpret_cast<uintptr_t>(m_stream), 0);
    if (m_output) {
        m_output->SetAudioFormat(&m_info);
    }
}

void CAudioSource::ReadTags()
{
    const char* const keys[] = {"title", "album", "artist"};
    std::string* const fields[] = {&m_content_info.title, &m_content_info.album, &m_content_info.artist};
    for (size_t i = 0; i < 3; ++i) {
        const AVDictionaryEntry* entry = FindTag(keys[i]);
        if (entry && entry->value) {
            *fields[i] = utils::to_utf8(entry->value);
        }
        utils::trim(*fields[i]);
    }
    // What the headers set is read above; only later comments count as changes.
    m_format_context->event_flags &= ~AVFMT_EVENT_FLAG_METADATA_UPDATED;
    m_stream->event_flags &= ~AVSTREAM_EVENT_FLAG_METADATA_UPDATED;
    ForgetStreamComments();
}

// The Ogg demuxer adds an Opus part's comments to those of the parts before it ("A;B"):
// once read, a part's comments are dropped so that the next part's stand alone.
void CAudioSource::ForgetStreamComments()
{
    if (m_codec_type == DECODER_ID_LIBAV) {
        av_dict_free(&m_stream->metadata);
    }
}

// Containers keep tags for the whole input (MP3, FLAC, MP4) or per stream (Ogg comments).
const AVDictionaryEntry* CAudioSource::FindTag(const char* key) const
{
    const AVDictionaryEntry* entry = av_dict_get(m_format_context->metadata, key, nullptr, AV_DICT_IGNORE_SUFFIX);
    if (!entry && m_stream) {
        entry = av_dict_get(m_stream->metadata, key, nullptr, AV_DICT_IGNORE_SUFFIX);
    }
    return entry;
}

// Ogg streams name the next song in the comment header of each new chained part; the
// demuxer flags the update. The new title counts like an ICY title.
bool CAudioSource::CheckStreamMetadata()
{
    // MPEG audio and AAC streams name their songs by ICY; what their demuxers flag as updated
    // (stream headers of an HTTP body, for one) carries no title and must not clear it.
    if (m_codec_type != DECODER_ID_LIBAV) {
        return false;
    }
    const bool updated = (m_format_context->event_flags & AVFMT_EVENT_FLAG_METADATA_UPDATED) != 0 ||
                         (m_stream->event_flags & AVSTREAM_EVENT_FLAG_METADATA_UPDATED) != 0;
    if (!updated) {
        return false;
    }
    m_format_context->event_flags &= ~AVFMT_EVENT_FLAG_METADATA_UPDATED;
    m_stream->event_flags &= ~AVSTREAM_EVENT_FLAG_METADATA_UPDATED;
    // A new chained part brings its own codec headers; the decoder reopens only when they differ.
    if (m_codec_type == DECODER_ID_LIBAV && m_output) {
        m_output->SetExtraData(&m_stream->codecpar->extradata, &m_stream->codecpar->extradata_size,
                               m_format_context.get());
    }
    const AVDictionaryEntry* entry = av_dict_get(m_stream->metadata, "title", nullptr, AV_DICT_IGNORE_SUFFIX);
    if (!entry) {
        entry = av_dict_get(m_format_context->metadata, "title", nullptr, AV_DICT_IGNORE_SUFFIX);
    }
    std::string title = entry && entry->value ? utils::to_utf8(entry->value) : std::string();
    utils::trim(title);
    ForgetStreamComments();
    if (title == m_content_info.title) {
        return false;
    }
    m_content_info.title = std::move(title);
    utils::logger.notice("%s  new in-stream title: %s", get_player_prefix(), m_content_info.title.c_str());
    return true;
}

int64_t CAudioSource::GetCurrentSourceBitrate()
{
    if (!m_format_context) {
        utils::logger.error("%s ERROR :CAudioSource::GetCurrentSourceBitrate(): No AV context found! Returning 0 bitrate",
                            get_player_prefix());
        return 0;
    }
    if (avformat_find_stream_info(m_format_context.get(), nullptr) < 0) {
        utils::logger.error("%s ERROR :CAudioSource::GetCurrentSourceBitrate(): Can not find stream information "
                            "for audio source! Returning 0 bitrate",
                            get_player_prefix());
        return 0;
    }
    return m_format_context->bit_rate;
}

bool CAudioSource::ParseStreamTitle(const std::string& text)
{
    const size_t start_tag = text.find(kStreamTitle);
    if (start_tag == std::string::npos) {
        return false;
    }
    const size_t start = start_tag + kStreamTitleLength;
    // The closing "';" is searched after the opening tag: a field before StreamTitle
    // must not end the title.
    const size_t end = text.find("';", start);
    if (end == std::string::npos) {
        return false;
    }
    if (start < end) {
        // Old encoders send Latin-1 or Windows-1252: past the source, titles are UTF-8.
        std::string candidate = utils::to_utf8(text.substr(start, end - start));
        if (candidate == m_content_info.title) {
            return false;
        }
        m_content_info.title = std::move(candidate);
        return true;
    }
    if (m_content_info.title.empty()) {
        return false;
    }
    m_content_info.title.clear();
    return true;
}

bool CAudioSource::IsLiveStream()
{
    if (m_rtp_open) {
        return true;
    }
    if (!m_format_context || !m_format_context->pb || m_icy_seen) {
        return m_format_context != nullptr;
    }
    uint8_t* headers = nullptr;
    if (av_opt_get(m_format_context.get(), "icy_metadata_headers", AV_OPT_SEARCH_CHILDREN, &headers) < 0) {
        return false;
    }
    const bool icy = headers && headers[0] != '\0';
    av_free(headers);
    return icy;
}

// A body without Content-Length that is not chunked ends when the server closes the
// connection; libavformat reports that end as an I/O error ("Stream ends prematurely").
// A connection that breaks (a reset) reports its own error instead.
bool CAudioSource::BodyEndedWithConnection()
{
    AVIOContext* io = m_format_context->pb;
    return io && io->eof_reached && avio_size(io) < 0;
}

int CAudioSource::CheckIcyMetadata(bool* metadataChanged)
{
    // A local file (custom I/O) has no ICY metadata: the option search costs a string
    // comparison per option of every child, for every packet.
    if (m_io_context) {
        return 0;
    }
    uint8_t* value = nullptr;
    if (av_opt_get(m_format_context.get(), "icy_metadata_packet", AV_OPT_SEARCH_CHILDREN, &value) < 0 || !value) {
        return 0;
    }
    const std::string packet(reinterpret_cast<const char*>(value));
    av_free(value);
    m_icy_seen = m_icy_seen || !packet.empty();
    if (!packet.empty() && packet != m_last_icy_metadata) {
        m_last_icy_metadata = packet;
        *metadataChanged = ParseStreamTitle(packet);
        if (*metadataChanged) {
            utils::logger.notice("%s  new icy meta data packet: %s", get_player_prefix(), packet.c_str());
        }
    }
    return 0;
}

int CAudioSource::ReadAudio(bool* metadataChanged)
{
    if (!m_format_context) {
        utils::logger.warning("%s  The player context is not initialized", get_player_prefix());
        return -1;
    }
    if (!m_stream) {
        utils::logger.error("%s ERROR : No stream selected for playback", get_player_prefix());
        DeInitialize();
        return -1;
    }
    bool changed_dummy = false;
    bool* changed = metadataChanged ? metadataChanged : &changed_dummy;
    *changed = false;
    CheckIcyMetadata(changed);

    if (!m_packet) {
        m_packet.reset(av_packet_alloc());
        if (!m_packet) {
            return AVERROR(ENOMEM);
        }
    }
    Restart();
    int result = av_read_frame(m_format_context.get(), m_packet.get());
    if (IsExpired()) {
        result = AVERROR_EXIT;
    }
    if (result == AVERROR(EIO) && BodyEndedWithConnection()) {
        // For a file that is the end of the track; live radio whose server closed the
        // connection ends its stream as well, and the player connects again.
        if (IsLiveStream())
            utils::logger.info("%s  the server closed the connection of %s", get_player_prefix(), m_last_url.c_str());
        else
            utils::logger.info("%s  the connection ended a body without a length: end of %s", get_player_prefix(),
                               m_last_url.c_str());
        result = AVERROR_EOF;
    }
    if (result == 0) {
        if (CheckStreamMetadata()) {
            *changed = true;
        }
        result = DeliverPacket(m_packet.get());
    } else if (result == AVERROR_EXIT) {
        utils::logger.info("%s  AV format requested to exit immediatly.", get_player_prefix());
    } else if (result == AVERROR_EOF) {
        utils::logger.info("%s  AV format detected end of track for %s", get_player_prefix(), m_last_url.c_str());
    } else if (result != AVERROR(EAGAIN)) {
        const std::string text = AvErrorText(result, 256);
        utils::logger.error("%s ERROR : Audio processing returned %d (%s)\n", get_player_prefix(), result,
                            text.c_str());
    }
    if (result < 0 && result != AVERROR_EOF && result != AVERROR(EAGAIN)) {
        NoteReadFailure(result);
    }
    av_packet_unref(m_packet.get());
    return result;
}

// Packets go to the chain without copying. One that exceeds what the 16-bit size can
// carry is handed over in pieces instead of being cut short.
int CAudioSource::DeliverPacket(const AVPacket* packet)
{
    const int size = packet->size;
    if (packet->stream_index != m_stream->index) {
        utils::logger.warning("%s  packet stream index mismatch. packet index %x, while stream index is %x",
                              get_player_prefix(), static_cast<unsigned>(packet->stream_index),
                              static_cast<unsigned>(m_stream->index));
        return size;
    }
    const unsigned int lost = m_rtp_open ? LostBlocksBefore(packet) : 0;
    if (size <= 0 || !m_output) {
        return size;
    }
    // RTP's sequence numbers already keep out what was delivered (and equal frames of a
    // steady signal are no repetition there).
    if (!m_rtp_open && m_rejoin.Repeats(packet->data, size)) {
        return size;
    }
    if (m_rejoin.TakeJoined()) {
        utils::logger.info("%s  the new connection repeated %u packets already buffered; joined after them",
                           get_player_prefix(), m_rejoin.Skipped());
    }
    m_rejoin.Remember(packet->data, size);
    for (int offset = 0; offset < size; offset += kMaxWrite) {
        const int piece = size - offset < kMaxWrite ? size - offset : kMaxWrite;
        m_output->WriteBuffer(packet->data + offset, static_cast<uint16_t>(piece), offset == 0 ? lost : 0);
    }
    return size;
}

// The output counts losses in blocks like this packet's: the audio time lost before it,
// in packets of its own length (at least one when anything was lost).
unsigned int CAudioSource::LostBlocksBefore(const AVPacket* packet)
{
    const int64_t end = packet->pos >= 0 ? packet->pos + packet->size : -1;
    const uint64_t ticks = m_rtp->TakeLostTicks(end);
    if (ticks == 0) {
        return 0;
    }
    const int64_t length =
        packet->duration > 0 ? av_rescale_q(packet->duration, m_stream->time_base, AVRational{1, CRtpReceiver::kClockRate})
                             : 0;
    if (length <= 0) {
        return 1;
    }
    const uint64_t blocks = (ticks + static_cast<uint64_t>(length) / 2) / static_cast<uint64_t>(length);
    return blocks == 0 ? 1 : blocks > UINT32_MAX ? UINT32_MAX : static_cast<unsigned int>(blocks);
}

uint64_t CAudioSource::TakeMissingPackets()
{
    return m_rtp ? m_rtp->TakeMissingPackets() : 0;
}

uint64_t CAudioSource::TakeForeignPackets()
{
    return m_rtp ? m_rtp->TakeForeignPackets() : 0;
}

void CAudioSource::CloseContext()
{
    // The format context goes first: it still points at the custom I/O context.
    m_stream = nullptr;
    m_format_context.reset();
    m_io_context.reset();
    if (m_rtp) {
        m_rtp->Close();
    }
    m_rtp_open = false;
}

void CAudioSource::DeInitialize()
{
    ClearContentInfo();
    CloseContext();
    m_probe_buffer.reset();
    m_file.Close();
    m_packet.reset();
    ClearContentInfo();
}
