#include "tests/fuzz/DecoderFuzz.h"

#include <mpg123.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "player/decoder/CAudioDecoderChain.h"
#include "tests/fuzz/FuzzSupport.h"

namespace fuzz {

namespace {

// The PCM stage after the decoders: PCM must follow a format announcement, and every
// frame handed over is read, so a count larger than the decoder's buffer shows as a
// read past its end.
class CheckingOutput final : public IAudioOutput {
public:
    int SetDecoderId(int) override { return 0; }
    int RestartFeed() override { return 0; }
    int GetDecoderId() override { return DECODER_ID_PCM; }
    int SetAudioFormat(const AudioFormat* format) override
    {
        m_format = *format;
        m_announced = true;
        return 0;
    }
    int SetBufferSize(unsigned) override { return 0; }
    int ReservedOperation(int, int) override { return 0; }
    int WriteBuffer(const uint8_t* data, uint16_t frames, unsigned int) override
    {
        if (!data || frames == 0) {
            return 0;
        }
        if (!m_announced || m_format.channels <= 0 || m_format.bits <= 0) {
            abort();  // PCM of an unknown format
        }
        const size_t bytes = static_cast<size_t>(frames) * static_cast<size_t>(m_format.channels) *
                             static_cast<size_t>(m_format.bits / 8);
        m_scratch.resize(bytes);
        memcpy(m_scratch.data(), data, bytes);
        return 0;
    }
    void SetExtraData(uint8_t**, int*, void*) override {}

private:
    AudioFormat m_format;
    bool m_announced = false;
    std::vector<uint8_t> m_scratch;
};

void InitialiseOnce()
{
    static const bool initialised = [] {
        QuietPlayerLogs();
        mpg123_init();
        return true;
    }();
    (void)initialised;
}

// Writes the packets to the chain; a zero-length packet stands for the reopen of a stream.
void FeedPackets(CAudioDecoderChain& chain, const uint8_t* packets, size_t size)
{
    PacketReader reader(packets, size);
    const uint8_t* packet = nullptr;
    size_t length = 0;
    while (reader.Next(packet, length)) {
        if (length == 0) {
            chain.RestartFeed();
            continue;
        }
        // Each packet in its own allocation, so a read past its end is caught.
        std::vector<uint8_t> copy(packet, packet + length);
        chain.WriteBuffer(copy.data(), static_cast<uint16_t>(copy.size()), 0);
    }
}

struct ContextClose {
    void operator()(AVFormatContext* c) const noexcept { avformat_free_context(c); }
};

}  // namespace

void RunDecoderChain(int id, const uint8_t* asc, size_t asc_size, const uint8_t* packets,
                     size_t size)
{
    InitialiseOnce();
    CheckingOutput output;
    CAudioDecoderChain chain;
    chain.CreateChain("FUZZ :");
    chain.SetDependentOutput(&output);
    if (chain.SetDecoderId(id) != 0) {
        abort();
    }
    // The decoder keeps pointers to the configuration, as it does into an open stream.
    std::vector<uint8_t> config(asc, asc + asc_size);
    uint8_t* config_data = config.empty() ? nullptr : config.data();
    int config_size = static_cast<int>(config.size());
    chain.SetExtraData(&config_data, &config_size, &chain);
    AudioInfo info;
    chain.SetAudioFormat(&info);
    FeedPackets(chain, packets, size);
    chain.DestroyDecoders();
}

void RunLibavDecoder(int codec_id, int rate, int channels, const uint8_t* extradata,
                     size_t extradata_size, const uint8_t* packets, size_t size)
{
    InitialiseOnce();
    // A demuxer context with one stream, as the source hands it over.
    std::unique_ptr<AVFormatContext, ContextClose> context(avformat_alloc_context());
    AVStream* stream = context ? avformat_new_stream(context.get(), nullptr) : nullptr;
    if (!stream) {
        abort();
    }
    AVCodecParameters* par = stream->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = static_cast<AVCodecID>(codec_id);
    par->sample_rate = rate;
    av_channel_layout_default(&par->ch_layout, channels);
    if (extradata_size > 0) {
        par->extradata = static_cast<uint8_t*>(av_mallocz(extradata_size + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!par->extradata) {
            abort();
        }
        memcpy(par->extradata, extradata, extradata_size);
        par->extradata_size = static_cast<int>(extradata_size);
    }
    CheckingOutput output;
    CAudioDecoderChain chain;
    chain.CreateChain("FUZZ :");
    chain.SetDependentOutput(&output);
    if (chain.SetDecoderId(DECODER_ID_LIBAV) != 0) {
        abort();
    }
    chain.SetExtraData(&par->extradata, &par->extradata_size, context.get());
    AudioInfo info;
    chain.SetAudioFormat(&info);
    FeedPackets(chain, packets, size);
    chain.DestroyDecoders();
}

}  // namespace fuzz
