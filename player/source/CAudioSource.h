#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "player/decoder/AudioFormat.h"
#include "player/decoder/IAudioOutput.h"
#include "player/include/PlayerFailure.h"
#include "player/source/CFileIOStandard.h"
#include "player/source/CStreamRejoin.h"
#include "player/source/CRtpReceiver.h"
#include "player/source/CTimeout_handler.h"
#include "player/source/CTrustStore.h"
#include "player/source/CURLPlaylistAudioSource.h"
#include "player/source/IAudioSource.h"
#include "utils/APlayerInfoAdapter.h"

struct AVDictionary;
struct AVDictionaryEntry;
struct AVFormatContext;
struct AVIOContext;
struct AVInputFormat;
struct AVPacket;
struct AVStream;

// Opens a local file or a network stream with libavformat, selects the stream to decode
// (CStreamChoice), configures the decoder chain and hands it one packet per ReadAudio.
// Everything runs on the player's thread except Interrupt(), SetTimeout() and the
// interrupt callback, which only touch the timeout handler's atomic words.
class CAudioSource final : public IAudioSource, public CTimeout_handler, public APlayerInfoAdapter {
public:
    // Bytes of a local file looked at to guess its format, plus libavformat's padding.
    static constexpr int kProbeSize = 256 * 1024;
    static constexpr int kProbePadding = 32;
    static constexpr int kFirstProbeSize = 2048;
    static constexpr int kIOBufferSize = 4096;
    static constexpr int32_t kDefaultTimeout = 15;
    // How much of a network stream the stream-information probe may read before playback:
    // a live server sends at the audio's own pace, so every byte waited for here is a
    // moment of silence at the start. MPEG audio and ADTS headers tell the format in the
    // first frames; the packets read stay queued for playback.
    static constexpr const char* kStreamProbeSize = "8192";
    static constexpr const char* kStreamAnalyzeUs = "100000";

    CAudioSource();
    ~CAudioSource() override;
    CAudioSource(const CAudioSource&) = delete;
    CAudioSource& operator=(const CAudioSource&) = delete;

    // IAudioSource
    int GetContentInfo(ContentInfo& out) override;
    int GetCodecType() override { return m_codec_type; }
    const char* GetIcyMetadata() override { return m_last_icy_metadata.c_str(); }
    int Initialize(const std::string& url, const std::string& name) override;
    void DeInitialize() override;
    int GetAudioInfo(AudioInfo* out) override;
    int ReadAudio(bool* metadataChanged) override;

    // Own prefix := text + " AUDIO SOURCE:"; the resolver gets that + " URL PLAYLIST:".
    void set_player_prefix(const char* text) override;

    // opts[0] user agent, opts[1] one extra HTTP header line.
    void SetRequestOptions(const std::string opts[2]);
    // The decoder chain; not owned.
    void SetOutput(IAudioOutput* output) { m_output = output; }
    int NetworkInit();
    void NetworkDeinit();
    // Any thread: makes the blocked libavformat call give up at its next callback check.
    void Interrupt();
    int64_t GetDuration() const { return m_duration; }
    // Hex MD5 of the playlist the last URL was resolved through, else empty.
    std::string GetPlaylistDigest() const;
    // Runs the stream-information probe; the context's bit rate, 0 on failure.
    int64_t GetCurrentSourceBitrate();
    // Whether the open stream is live radio rather than a finite file: it has no byte
    // stream (RTP), or its server answers as an ICY server (an Icy-* response header or
    // in-band ICY metadata). Any other HTTP body is a file, with or without a length.
    bool IsLiveStream();
    // Packets missing from the followed RTP sender's sequence numbers since the last call
    // (the output fills their time as its buffering algorithm says).
    uint64_t TakeMissingPackets();
    // Codec of the input's first audio stream when no decoder takes it ("wmav2 (Windows
    // Media Audio 2)"), else empty. Set by every Initialize that gets to choose a stream.
    const std::string& GetRefusedCodec() const { return m_refused_codec; }
    // The next Initialize of the same URL continues the audio delivered so far (a
    // reconnection whose buffered audio plays on): packets of the new connection that
    // repeat what was delivered are left out. Applies to the next Initialize only.
    void ContinueOnNextOpen() { m_continue_next = true; }
    // Packets of other RTP senders (or other hosts than the allowed one) ignored since the last call.
    uint64_t TakeForeignPackets();
    // RTP packets are taken only from this host (name or address); empty: from any.
    void SetRtpSource(const std::string& host) { m_rtp_source = host; }
    // A new stream item: the RTP sender followed so far and its numbers are forgotten (a
    // reconnection of the same item keeps them, so a gap across an outage is counted).
    void ForgetRtpSender();
    // Parses "StreamTitle='...';" into the title; true when the title changed.
    bool ParseStreamTitle(const std::string& text);

    // How HTTPS servers are checked from the next Initialize on, by libavformat and the
    // resolver alike (null: checks on, against the system's trust store).
    void SetTrust(std::shared_ptr<const CTrustStore> trust);
    // Why the last Initialize or ReadAudio failed, in words (cause FAILURE_NONE after a
    // success). The decoding stages may name a cause of their own with SetFailure before
    // the failing Initialize returns; the first cause set wins.
    const OrvanePlayer::PlaybackFailure& GetFailure() const { return m_failure; }
    void SetFailure(int32_t cause, const std::string& reason, int32_t http_status = 0);
    void ClearFailure() { m_failure = OrvanePlayer::PlaybackFailure(); }

    // The resolver, for its download path in tests and tools.
    CURLPlaylistAudioSource& GetPlaylistResolver() { return m_playlist_resolver; }

    // Installed into libavformat for URL opens; the player stores its callback and itself
    // before the first URL open.
    int (*m_libav_callback)(void*) = nullptr;
    void* m_libav_context = nullptr;

private:
    struct FormatClose {
        void operator()(AVFormatContext* context) const noexcept;
    };
    struct IOFree {
        void operator()(AVIOContext* io) const noexcept;
    };
    struct DictFree {
        void operator()(AVDictionary* dict) const noexcept;
    };
    struct PacketFree {
        void operator()(AVPacket* packet) const noexcept;
    };
    using FormatContext = std::unique_ptr<AVFormatContext, FormatClose>;
    using IOContext = std::unique_ptr<AVIOContext, IOFree>;
    using Dictionary = std::unique_ptr<AVDictionary, DictFree>;
    using Packet = std::unique_ptr<AVPacket, PacketFree>;

    int OpenLocal(const std::string& url, AVDictionary** dictionary);
    int OpenNetwork(const std::string& url, AVDictionary** dictionary);
    int OpenInput(const char* target, AVDictionary** dictionary);
    int OpenRtp(const std::string& url, AVDictionary** dictionary);
    unsigned int LostBlocksBefore(const AVPacket* packet);
    void AddTlsOptions(AVDictionary** dictionary) const;
    void NoteOpenFailure(int result, const std::string& url, bool local_file_missing);
    void NoteReadFailure(int result);
    int init_avcontext_with_custom_io(const std::string& url, AVDictionary** dictionary);
    int ProbeLocalFormat(const std::string& url, AVIOContext* io);
    const AVInputFormat* GuessFormat(int length);
    int SelectStream(const std::string& url, bool had_stream);
    void ApplyAdtsFallback(const std::string& url, const std::string& name);
    void StopHeaderChecksum();
    void ConfigureOutput();
    void ReadTags();
    const AVDictionaryEntry* FindTag(const char* key) const;
    bool CheckStreamMetadata();
    void ForgetStreamComments();
    void CloseContext();
    void ClearContentInfo();
    int CheckIcyMetadata(bool* metadataChanged);
    bool BodyEndedWithConnection();
    int DeliverPacket(const AVPacket* packet);
    static int _read_callback(void* opaque, uint8_t* buf, int size);
    static int _rtp_read_callback(void* opaque, uint8_t* buf, int size);
    static int64_t _seek_callback(void* opaque, int64_t offset, int whence);

    // All members below: player thread only.
    int64_t m_duration = 0;  // ms, last local file
    std::string m_user_agent;
    std::string m_headers;
    bool m_opened_through_playlist = false;
    uint8_t m_playlist_digest[16] = {};
    IOContext m_io_context;  // custom I/O of a local file; outlives nothing but the context
    FormatContext m_format_context;
    AVStream* m_stream = nullptr;  // inside m_format_context
    int32_t m_codec_type = -1;
    IAudioOutput* m_output = nullptr;  // the decoder chain; not owned
    AudioInfo m_info;
    std::string m_last_icy_metadata;
    bool m_curl_ready = false;  // NetworkInit set libcurl up; NetworkDeinit releases it
    bool m_icy_seen = false;  // an ICY metadata block arrived since the last open
    std::unique_ptr<CRtpReceiver> m_rtp;  // made at the first RTP open, kept for its sender state
    bool m_rtp_open = false;               // the open context reads m_rtp
    std::string m_rtp_url;                 // the stream m_rtp's sender state belongs to
    std::string m_rtp_source;              // the only host RTP packets are taken from; empty: any
    std::string m_last_url;
    std::string m_refused_codec;  // see GetRefusedCodec
    CStreamRejoin m_rejoin;          // packets delivered, to join a reconnection after them
    bool m_continue_next = false;    // the next open of the last URL continues its audio
    std::string m_open_target;  // what the last network open handed to libavformat
    std::shared_ptr<const CTrustStore> m_trust;
    OrvanePlayer::PlaybackFailure m_failure;
    CURLPlaylistAudioSource m_playlist_resolver;
    CFileIOStandard m_file;
    std::unique_ptr<uint8_t[]> m_probe_buffer;  // kProbeSize + kProbePadding, kept until DeInitialize
    ContentInfo m_content_info;
    Packet m_packet;
};
