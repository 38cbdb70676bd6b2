#include "player/output/CResampler.h"
#include "utils/Assert.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}


#include "utils/CLogger.h"

namespace {
AudioInfo default_format() {
    AudioInfo info;
    info.bits = 16;
    info.rate = 48000;
    info.channels = 2;
    return info;
}

// The standard layout of the count, so that the interleaved data is read with the right
// number of channels and multichannel input is down-mixed rather than misread as stereo.
AVChannelLayout layout_for(int channels) {
    AVChannelLayout layout{};
    av_channel_layout_default(&layout, channels);
    return layout;
}
}  // namespace

CResampler::CResampler(IResamplerOutput* sink)
    : m_sink(sink), m_input(default_format()), m_output(default_format()) {
    APlayerInfoAdapter::set_player_prefix(kDefaultPrefix);
}

CResampler::~CResampler() = default;

bool CResampler::IsSupportedBits(int bits) { return bits == 8 || bits == 16 || bits == 32; }

AVSampleFormat CResampler::convert_fmt(int bits) {
    switch (bits) {
    case 8:
        return AV_SAMPLE_FMT_U8;
    case 16:
        return AV_SAMPLE_FMT_S16;
    case 32:
        return AV_SAMPLE_FMT_S32;
    default:
        UTILS_ASSERT(false, "Unsupported audio format");
        return AV_SAMPLE_FMT_NONE;
    }
}

int CResampler::Initialize() {
    utils::logger.info("%s CResampler::Initialize() initializing resampling: from [%d, %d, %ld] -> to [%d, %d, %ld]\n",
                       get_player_prefix(), m_input.bits, m_input.channels,
                       static_cast<long>(m_input.rate), m_output.bits, m_output.channels,
                       static_cast<long>(m_output.rate));
    AVChannelLayout out_layout = layout_for(m_output.channels);
    AVChannelLayout in_layout = layout_for(m_input.channels);
    // libswresample reuses the previous context when given one.
    SwrContext* context = m_context.release();
    const int rc = swr_alloc_set_opts2(&context, &out_layout, m_output_sample_format, m_output.rate,
                                       &in_layout, m_input_sample_format, m_input.rate, 0, nullptr);
    m_context.reset(context);
    if (rc < 0 || !m_context) {
        utils::logger.error("%s ERROR :CResampler::Initialize() failed to allocate resampling context!\n",
                            get_player_prefix());
        return -1;
    }
    if (swr_init(m_context.get()) < 0) {
        utils::logger.error("%s ERROR :CResampler::Initialize() failed to initialize resampling context!\n",
                            get_player_prefix());
        return -1;
    }
    return 0;
}

int CResampler::DeInitialize() {
    m_context.reset();
    m_block.reset();
    m_block_frames = 0;
    return 0;
}

int CResampler::set_format(AudioInfo& stored, AVSampleFormat& sample_format, const AudioInfo* info) {
    if (!info)
        return -1;
    if (info->channels == stored.channels && info->bits == stored.bits && info->rate == stored.rate)
        return 0;
    // Stream data must never reach the width assertion: refuse what cannot be converted.
    if (!IsSupportedBits(info->bits) || info->rate <= 0 || info->channels <= 0) {
        utils::logger.error("%s ERROR :CResampler: unsupported format: bits=%d, channels=%d, rate=%d\n",
                            get_player_prefix(), info->bits, info->channels, info->rate);
        return -1;
    }
    stored = *info;
    sample_format = convert_fmt(info->bits);
    return Initialize();
}

int CResampler::SetInputFormat(const AudioInfo* info) {
    return set_format(m_input, m_input_sample_format, info);
}

int CResampler::SetOutputFormat(const AudioInfo* info) {
    const int rc = set_format(m_output, m_output_sample_format, info);
    // The kept block was sized for the previous output frame.
    m_block.reset();
    m_block_frames = 0;
    return rc;
}

int CResampler::SetSampleRates(int input_rate, int output_rate) {
    if (input_rate == m_input.rate && output_rate == m_output.rate)
        return 0;
    if (input_rate <= 0 || output_rate <= 0)
        return -1;
    m_input.rate = input_rate;
    m_output.rate = output_rate;
    return Initialize();
}

int CResampler::InjectSilence(int frames) {
    return m_context ? swr_inject_silence(m_context.get(), frames) : -1;
}

int CResampler::DropOutput(int frames) {
    return m_context ? swr_drop_output(m_context.get(), frames) : -1;
}

uint8_t* CResampler::output_block(int frames) {
    if (frames <= m_block_frames && m_block)
        return m_block.get();
    uint8_t* block = nullptr;
    if (av_samples_alloc(&block, nullptr, m_output.channels, frames, m_output_sample_format, 0) < 0)
        return nullptr;
    m_block.reset(block);
    m_block_frames = frames;
    return block;
}

int CResampler::Resample(const void* data, int frames) {
    if (!m_context || frames < 0)
        return -1;
    const int64_t delay = swr_get_delay(m_context.get(), m_output.rate);
    // Room for everything this call can produce: the input rescaled to the output rate.
    const int64_t produced = av_rescale_rnd(frames, m_output.rate, m_input.rate, AV_ROUND_UP);
    const int capacity = static_cast<int>(delay + produced);
    uint8_t* block = output_block(capacity > 0 ? capacity : 1);
    if (!block) {
        utils::logger.error("%s ERROR :CResampler::Resample() failed to allocate output sample buffer\n",
                            get_player_prefix());
        return -1;
    }
    const uint8_t* in = static_cast<const uint8_t*>(data);
    int result = swr_convert(m_context.get(), &block, capacity, &in, frames);
    if (result > 0 && m_sink)
        result = m_sink->ResamplerOutputBuffer(block, result);
    return result < 0 ? -1 : 0;
}
