#pragma once

extern "C" {
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <memory>

#include "player/decoder/AudioFormat.h"
#include "player/output/IResamplerOutput.h"
#include "utils/APlayerInfoAdapter.h"

// Converts interleaved PCM from a decoder's format to the device format with libswresample
// and pushes each converted block into its sink. Playback thread only; no lock.
class CResampler : public APlayerInfoAdapter {
public:
    // sink: not owned; receives every converted block.
    explicit CResampler(IResamplerOutput* sink);
    ~CResampler() override;
    CResampler(const CResampler&) = delete;
    CResampler& operator=(const CResampler&) = delete;

    // (Re)creates the context from the two formats. 0 or -1.
    virtual int Initialize();
    virtual int DeInitialize();
    // Re-initialize only when channels, bits or rate change. -1 for an unsupported width.
    virtual int SetInputFormat(const AudioInfo* info);
    virtual int SetOutputFormat(const AudioInfo* info);
    virtual int SetSampleRates(int input_rate, int output_rate);
    virtual int InjectSilence(int frames);
    // Removes frames from the future output.
    virtual int DropOutput(int frames);
    // Converts frames of input and hands the result to the sink. 0 or -1.
    virtual int Resample(const void* data, int frames);

    // Sample widths the resampler converts: 8, 16 and 32 bits.
    static bool IsSupportedBits(int bits);

private:
    struct SwrFree {
        void operator()(SwrContext* c) const noexcept { swr_free(&c); }
    };
    struct SamplesFree {
        void operator()(uint8_t* p) const noexcept { av_free(p); }
    };

    static AVSampleFormat convert_fmt(int bits);
    int set_format(AudioInfo& stored, AVSampleFormat& sample_format, const AudioInfo* info);

    uint8_t* output_block(int frames);

    std::unique_ptr<SwrContext, SwrFree> m_context;
    // Output block kept between calls: allocating one per block costs more than the
    // bookkeeping around the conversion. Grown on demand; playback thread only.
    std::unique_ptr<uint8_t, SamplesFree> m_block;
    int m_block_frames = 0;
    IResamplerOutput* m_sink;  // not owned
    AudioInfo m_input;
    AudioInfo m_output;
    AVSampleFormat m_input_sample_format = AV_SAMPLE_FMT_S16;
    AVSampleFormat m_output_sample_format = AV_SAMPLE_FMT_S16;
};
