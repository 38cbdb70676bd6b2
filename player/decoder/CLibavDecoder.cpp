#include "player/decoder/CLibavDecoder.h"

#include <cstring>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "utils/CLogger.h"

namespace {

// Largest count of frames one SendAudio carries.
constexpr int kMaxSendFrames = 0xFFFF;

std::string AvErrorText(int error)
{
    char text[128] = {};
    av_strerror(error, text, sizeof(text));
    return text;
}

// The stream whose codec parameters hold these extradata members, or null.
const AVStream* StreamOf(const AVFormatContext* context, uint8_t** data, int* size)
{
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* stream = context->streams[i];
        if (&stream->codecpar->extradata == data && &stream->codecpar->extradata_size == size) {
            return stream;
        }
    }
    return nullptr;
}

}  // namespace

void CLibavDecoder::CodecFree::operator()(AVCodecContext* c) const noexcept
{
    avcodec_free_context(&c);
}

void CLibavDecoder::FrameFree::operator()(AVFrame* f) const noexcept
{
    av_frame_free(&f);
}

void CLibavDecoder::PacketFree::operator()(AVPacket* p) const noexcept
{
    av_packet_free(&p);
}

void CLibavDecoder::SwrFree::operator()(SwrContext* s) const noexcept
{
    swr_free(&s);
}

CLibavDecoder::CLibavDecoder() = default;
CLibavDecoder::~CLibavDecoder() = default;

int CLibavDecoder::Initialize()
{
    m_packet.reset(av_packet_alloc());
    m_frame.reset(av_frame_alloc());
    if (!m_packet || !m_frame) {
        utils::logger.error("%s ERROR :CLibavDecoder::Initialize(): Error: Failed to allocate a packet or frame.\n",
                            get_player_prefix());
        return -1;
    }
    return 0;
}

void CLibavDecoder::DeInitialize()
{
    m_codec.reset();
    m_converter.reset();
    m_converter_format = -1;
    m_frame.reset();
    m_packet.reset();
    m_pcm.clear();
    m_pcm.shrink_to_fit();
}

void CLibavDecoder::set_player_prefix(const char* text)
{
    CAudioOutput::set_player_prefix((std::string(text ? text : "") + " DECODER LIBAV:").c_str());
}

void CLibavDecoder::SetExtraData(uint8_t** data, int* size, void* context)
{
    const AVStream* stream =
        context ? StreamOf(static_cast<const AVFormatContext*>(context), data, size) : nullptr;
    if (!stream) {
        m_codec.reset();
        utils::logger.error("%s ERROR :CLibavDecoder::SetExtraData(): Error: no stream of the source holds this "
                            "configuration\n",
                            get_player_prefix());
        return;
    }
    // The same codec headers again (the next part of a chained Ogg stream, the next track
    // of an album): the open codec goes on, without the gap a reopen would leave.
    if (!SameConfiguration(stream->codecpar)) {
        OpenCodec(stream->codecpar);
    }
}

bool CLibavDecoder::SameConfiguration(const AVCodecParameters* parameters) const
{
    const AVCodecContext* open = m_codec.get();
    if (!open || open->codec_id != parameters->codec_id || open->sample_rate != parameters->sample_rate ||
        open->ch_layout.nb_channels != parameters->ch_layout.nb_channels ||
        open->extradata_size != parameters->extradata_size) {
        return false;
    }
    return parameters->extradata_size == 0 ||
           memcmp(open->extradata, parameters->extradata, static_cast<size_t>(parameters->extradata_size)) == 0;
}

int CLibavDecoder::OpenCodec(const AVCodecParameters* parameters)
{
    m_codec.reset();
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec) {
        utils::logger.error("%s ERROR :CLibavDecoder::OpenCodec(): no decoder for codec %s\n", get_player_prefix(),
                            avcodec_get_name(parameters->codec_id));
        return AVERROR_DECODER_NOT_FOUND;
    }
    std::unique_ptr<AVCodecContext, CodecFree> context(avcodec_alloc_context3(codec));
    if (!context) {
        return AVERROR(ENOMEM);
    }
    int r = avcodec_parameters_to_context(context.get(), parameters);
    if (r >= 0) {
        // The player has one thread for all of its audio; frame threads would only add delay.
        context->thread_count = 1;
        r = avcodec_open2(context.get(), codec, nullptr);
    }
    if (r < 0) {
        utils::logger.error("%s ERROR :CLibavDecoder::OpenCodec(): Unable to open the %s decoder: (%d) %s\n",
                            get_player_prefix(), codec->name, r, AvErrorText(r).c_str());
        return r;
    }
    m_codec = std::move(context);
    return 0;
}

int CLibavDecoder::RestartFeed()
{
    if (!m_codec) {
        return -1;
    }
    avcodec_flush_buffers(m_codec.get());
    return 0;
}

int CLibavDecoder::SetAudioFormat(const AudioFormat* format)
{
    if (!format) {
        return -1;
    }
    m_format.bits = format->bits;
    m_format.rate = format->rate;
    m_format.channels = format->channels;
    const int result = AssignAudioFormat(&m_format);
    m_announced = result >= 0 && m_format.bits > 0 && m_format.rate > 0 && m_format.channels > 0;
    return result;
}

int CLibavDecoder::WriteBuffer(const uint8_t* data, uint16_t size, unsigned int ts)
{
    if (!m_codec || !m_packet || !m_frame) {
        utils::logger.error("%s ERROR :CLibavDecoder::WriteBuffer(): Error: no codec open. Call SetExtraData() "
                            "first!\n",
                            get_player_prefix());
        return -1;
    }
    if (!data || size == 0) {
        return 0;
    }
    // The packet only borrows the bytes: libavcodec copies what it keeps (with its padding).
    m_packet->data = const_cast<uint8_t*>(data);
    m_packet->size = size;
    int r = avcodec_send_packet(m_codec.get(), m_packet.get());
    if (r == AVERROR(EAGAIN)) {
        // Frames of earlier packets are still waiting: take them, then the codec takes this one.
        const int drained = ReceiveFrames(ts);
        if (drained < 0) {
            return drained;
        }
        r = avcodec_send_packet(m_codec.get(), m_packet.get());
    }
    m_packet->data = nullptr;
    m_packet->size = 0;
    if (r < 0) {
        utils::logger.error("%s ERROR :CLibavDecoder::WriteBuffer(): Decode failed: (%d) %s, skipping packet.\n",
                            get_player_prefix(), r, AvErrorText(r).c_str());
        return -1;
    }
    return ReceiveFrames(ts);
}

int CLibavDecoder::ReceiveFrames(unsigned int ts)
{
    for (;;) {
        const int r = avcodec_receive_frame(m_codec.get(), m_frame.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) {
            return 0;
        }
        if (r < 0) {
            utils::logger.error("%s ERROR :CLibavDecoder::WriteBuffer(): Decode failed: (%d) %s\n",
                                get_player_prefix(), r, AvErrorText(r).c_str());
            return -1;
        }
        const int delivered = DeliverFrame(ts);
        av_frame_unref(m_frame.get());
        if (delivered < 0) {
            return delivered;
        }
    }
}

// Announces the stream's format when rate or channel count change: announcing an
// unchanged format would reopen the device between tracks.
int CLibavDecoder::AnnounceIfChanged(int rate, int channels)
{
    if (m_announced && m_format.bits == 16 && rate == m_format.rate && channels == m_format.channels) {
        return 0;
    }
    utils::logger.info("%s CLibavDecoder::WriteBuffer(): New format [%d,16,%d] detected changing...\n",
                       get_player_prefix(), channels, rate);
    AudioInfo format = m_format;
    format.bits = 16;
    format.rate = rate;
    format.channels = channels;
    if (SetAudioFormat(&format) != 0) {
        utils::logger.error("%s ERROR :CLibavDecoder::WriteBuffer(): Error: unable to change to new format.\n",
                            get_player_prefix());
        return -1;
    }
    return 0;
}

int CLibavDecoder::DeliverFrame(unsigned int ts)
{
    const AVFrame* frame = m_frame.get();
    const int channels = frame->ch_layout.nb_channels;
    if (frame->nb_samples <= 0) {
        return 0;
    }
    if (frame->sample_rate <= 0 || channels <= 0 || channels > AV_NUM_DATA_POINTERS) {
        utils::logger.error("%s ERROR :CLibavDecoder::WriteBuffer(): Error: frame without a usable format\n",
                            get_player_prefix());
        return -1;
    }
    if (AnnounceIfChanged(frame->sample_rate, channels) != 0) {
        return -1;
    }
    // Interleaved 16-bit frames (FLAC of CD quality) go downstream as they are.
    const uint8_t* pcm = frame->format == AV_SAMPLE_FMT_S16 ? frame->data[0] : ConvertFrame();
    if (!pcm) {
        return -1;
    }
    SendFrames(pcm, frame->nb_samples, channels, ts);
    return 0;
}

void CLibavDecoder::SendFrames(const uint8_t* pcm, int frames, int channels, unsigned int ts)
{
    const size_t frame_bytes = static_cast<size_t>(channels) * sizeof(int16_t);
    for (int done = 0; done < frames;) {
        const int piece = frames - done < kMaxSendFrames ? frames - done : kMaxSendFrames;
        SendAudio(pcm + static_cast<size_t>(done) * frame_bytes, static_cast<uint16_t>(piece), ts);
        done += piece;
    }
}

// (Re)builds the converter when the frame's sample format, rate or channel count differ
// from what it was built for. Only the sample format changes: rate and layout stay, the
// PCM output resamples as it does for every decoder.
bool CLibavDecoder::PrepareConverter()
{
    const AVFrame* frame = m_frame.get();
    const int channels = frame->ch_layout.nb_channels;
    if (m_converter && m_converter_format == frame->format && m_converter_rate == frame->sample_rate &&
        m_converter_channels == channels) {
        return true;
    }
    m_converter.reset();
    AVChannelLayout layout{};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_default(&layout, channels);
    } else if (av_channel_layout_copy(&layout, &frame->ch_layout) < 0) {
        return false;
    }
    SwrContext* raw = nullptr;
    int r = swr_alloc_set_opts2(&raw, &layout, AV_SAMPLE_FMT_S16, frame->sample_rate, &layout,
                                static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&layout);
    std::unique_ptr<SwrContext, SwrFree> converter(raw);
    if (r >= 0) {
        r = swr_init(converter.get());
    }
    if (r < 0) {
        utils::logger.error("%s ERROR :CLibavDecoder::WriteBuffer(): Error: no conversion from %s: (%d) %s\n",
                            get_player_prefix(),
                            av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format)), r,
                            AvErrorText(r).c_str());
        return false;
    }
    m_converter = std::move(converter);
    m_converter_format = frame->format;
    m_converter_rate = frame->sample_rate;
    m_converter_channels = channels;
    return true;
}

const uint8_t* CLibavDecoder::ConvertFrame()
{
    if (!PrepareConverter()) {
        return nullptr;
    }
    const AVFrame* frame = m_frame.get();
    const size_t samples = static_cast<size_t>(frame->nb_samples) * static_cast<size_t>(m_converter_channels);
    if (m_pcm.size() < samples) {
        m_pcm.resize(samples);
    }
    uint8_t* out[1] = {reinterpret_cast<uint8_t*>(m_pcm.data())};
    const int converted = swr_convert(m_converter.get(), out, frame->nb_samples,
                                      const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    if (converted != frame->nb_samples) {
        utils::logger.error("%s ERROR :CLibavDecoder::WriteBuffer(): Error: sample conversion failed (%d)\n",
                            get_player_prefix(), converted);
        return nullptr;
    }
    return out[0];
}
