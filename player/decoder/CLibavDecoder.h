#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "player/decoder/AudioFormat.h"
#include "player/decoder/CAudioOutput.h"

struct AVCodecContext;
struct AVCodecParameters;
struct AVFrame;
struct AVPacket;
struct SwrContext;

// Decoder id 4: the codecs neither mpg123 nor fdk-aac decode (Opus, Vorbis, FLAC, ...),
// through libavcodec. Each WriteBuffer sends one packet and hands every frame it completes
// to the dependents as interleaved 16-bit PCM at the stream's own rate; planar and float
// sample formats are converted with libswresample. Playback thread only.
class CLibavDecoder final : public CAudioOutput {
public:
    CLibavDecoder();
    ~CLibavDecoder() override;

    // Allocates the packet and frame; 0 or -1.
    int Initialize();
    // Releases the codec, the converter, the packet and the frame.
    void DeInitialize();

    int SetDecoderId(int) override { return 0; }
    // Drops what the codec holds of the last stream; -1 without an open codec.
    int RestartFeed() override;
    int GetDecoderId() override { return DECODER_ID_LIBAV; }
    int SetAudioFormat(const AudioFormat* format) override;
    int SetBufferSize(unsigned) override { return 0; }
    int ReservedOperation(int, int) override { return 0; }
    // One packet in bytes. 0 after decoding (also when the packet completed no frame),
    // -1 when the codec refused it or no codec is open.
    int WriteBuffer(const uint8_t* data, uint16_t size, unsigned int ts) override;
    // data/size must be the extradata members of one stream's codec parameters in the
    // libavformat context: that stream's codec is opened for the coming packets, unless
    // the open codec has the same configuration already.
    void SetExtraData(uint8_t** data, int* size, void* context) override;

    // Opens the codec the parameters describe (copied; nothing is kept pointing into
    // them). 0, or a negative libav error after logging it.
    int OpenCodec(const AVCodecParameters* parameters);

    void set_player_prefix(const char* text) override;

private:
    struct CodecFree {
        void operator()(AVCodecContext* c) const noexcept;
    };
    struct FrameFree {
        void operator()(AVFrame* f) const noexcept;
    };
    struct PacketFree {
        void operator()(AVPacket* p) const noexcept;
    };
    struct SwrFree {
        void operator()(SwrContext* s) const noexcept;
    };

    bool SameConfiguration(const AVCodecParameters* parameters) const;
    int ReceiveFrames(unsigned int ts);
    int DeliverFrame(unsigned int ts);
    int AnnounceIfChanged(int rate, int channels);
    // Interleaved 16-bit samples of the current frame; null when it cannot be converted.
    const uint8_t* ConvertFrame();
    bool PrepareConverter();
    void SendFrames(const uint8_t* pcm, int frames, int channels, unsigned int ts);

    std::unique_ptr<AVCodecContext, CodecFree> m_codec;  // null: no stream to decode
    std::unique_ptr<AVPacket, PacketFree> m_packet;      // wraps the caller's bytes
    std::unique_ptr<AVFrame, FrameFree> m_frame;
    std::unique_ptr<SwrContext, SwrFree> m_converter;   // built for the format below
    int m_converter_format = -1;   // sample format, rate and channels m_converter takes
    int m_converter_rate = 0;
    int m_converter_channels = 0;
    std::vector<int16_t> m_pcm;    // converted samples of one frame
    AudioInfo m_format;            // current PCM format
    bool m_announced = false;      // the dependents accepted m_format
};
