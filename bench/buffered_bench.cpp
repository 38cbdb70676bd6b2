// CPU cost of the stream output path per hour of audio (44100 Hz stereo in, 48000 Hz out),
// next to the bare swr_convert cost measured in the same run:
//   bare      swr_convert alone into a reused buffer
//   path      RTP algorithm -> CResampler -> ring -> read out in device periods
//   device    CPCMOutputBuffered on the virtual card (unpaced; includes the card's own
//             recording work, which real hardware does not have), when the card is built
// The overhead of the path beyond resampling should stay under 10 %.
extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "player/output/CBufferingAlgorithm.h"
#include "player/output/CPCMOutputBuffered.h"
#include "player/output/CResampler.h"
#include "player/output/CRingBuffer.h"
#ifdef BUFFERED_BENCH_VCARD
#include "tests/support/vcard/VCardTestEnv.h"
#endif

namespace {
constexpr int kInRate = 44100;
constexpr int kBlock = 1152;
constexpr int kPeriod = 6000;

double thread_cpu_s() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

std::vector<int16_t> tone_block() {
    std::vector<int16_t> v(kBlock * 2);
    for (int i = 0; i < kBlock; ++i)
        v[2 * i] = v[2 * i + 1] = static_cast<int16_t>(10000 * std::sin(2 * M_PI * 997.0 * i / kInRate));
    return v;
}

double bare(int blocks, const std::vector<int16_t>& in) {
    SwrContext* raw = nullptr;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    swr_alloc_set_opts2(&raw, &stereo, AV_SAMPLE_FMT_S16, 48000, &stereo, AV_SAMPLE_FMT_S16, kInRate, 0, nullptr);
    std::unique_ptr<SwrContext, void (*)(SwrContext*)> ctx(raw, [](SwrContext* c) { swr_free(&c); });
    swr_init(ctx.get());
    std::vector<int16_t> out(4096 * 2);
    const double start = thread_cpu_s();
    for (int b = 0; b < blocks; ++b) {
        uint8_t* o = reinterpret_cast<uint8_t*>(out.data());
        const uint8_t* i = reinterpret_cast<const uint8_t*>(in.data());
        swr_convert(ctx.get(), &o, 4096, &i, kBlock);
    }
    return thread_cpu_s() - start;
}

// The ring side of the buffered output: stores converted frames, hands out whole periods.
class RingSink final : public IResamplerOutput {
public:
    RingSink() { m_ring.Init(4, 48000 * 9); }
    int ResamplerOutputBuffer(const void* data, int frames) override {
        m_ring.Write(static_cast<const uint8_t*>(data), static_cast<uint32_t>(frames));
        while (m_ring.GetFillLevel() >= static_cast<uint32_t>(kPeriod))
            m_ring.Read(m_period.data(), kPeriod);
        return 0;
    }
    uint32_t level() { return m_ring.GetFillLevel(); }

private:
    CRingBuffer m_ring;
    std::vector<uint8_t> m_period = std::vector<uint8_t>(kPeriod * 4);
};

double path(int blocks, const std::vector<int16_t>& in) {
    RingSink sink;
    CResampler resampler(&sink);
    BufferingAlgorithm::CBufferingAlgorithm algorithm(500, 50);
    AudioInfo out_format;
    out_format.bits = 16;
    out_format.rate = 48000;
    out_format.channels = 2;
    AudioInfo in_format = out_format;
    in_format.rate = kInRate;
    resampler.SetOutputFormat(&out_format);
    resampler.SetInputFormat(&in_format);
    const double start = thread_cpu_s();
    for (int b = 0; b < blocks; ++b) {
        uint64_t out = 0;
        // A steady level at the target: no corrections, as in a healthy stream.
        algorithm.WriteFrame(24000, kBlock, true, &out, 0);
        resampler.Resample(in.data(), static_cast<int>(std::min<uint64_t>(out, kBlock)));
    }
    return thread_cpu_s() - start;
}

double device(int blocks, const std::vector<int16_t>& in) {
#ifndef BUFFERED_BENCH_VCARD
    (void)blocks;
    (void)in;
    return -1;
#else
    vcard::VCardTestEnv env("unpaced");
    BufferingAlgorithm::CBufferingAlgorithm algorithm(500, 50);
    CPCMOutputBuffered output(&algorithm, 500, 50);
    if (output.Initialize() != 0)
        return -1;
    AudioInfo format;
    format.bits = 16;
    format.rate = kInRate;
    format.channels = 2;
    output.SetAudioFormat(&format);
    const double start = thread_cpu_s();
    for (int b = 0; b < blocks; ++b)
        output.WriteBuffer(reinterpret_cast<const uint8_t*>(in.data()), kBlock, 0);
    const double cpu = thread_cpu_s() - start;
    output.DeInitialize();
    return cpu;
#endif
}

double best_of(int runs, double (*f)(int, const std::vector<int16_t>&), int blocks, const std::vector<int16_t>& in) {
    double best = 1e9;
    for (int r = 0; r < runs; ++r)
        best = std::min(best, f(blocks, in));
    return best;
}
}  // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int blocks = static_cast<int>(minutes * 60 * kInRate / kBlock);
    const double per_hour = 60.0 / minutes;
    const auto in = tone_block();

    const double b = best_of(3, bare, blocks, in) * per_hour;
    const double p = best_of(3, path, blocks, in) * per_hour;
    std::printf("audio simulated per run: %.1f min (%d blocks of %d frames)\n", minutes, blocks, kBlock);
    std::printf("bare swr_convert:       %8.3f s CPU per audio hour\n", b);
    std::printf("buffered path:          %8.3f s CPU per audio hour\n", p);
    std::printf("path overhead:          %8.1f %% beyond resampling (target < 10 %%)\n", (p - b) / b * 100.0);
    // Shorter on the card: its recording grows by 11 MB per audio minute.
    const double device_minutes = std::min(minutes, 2.0);
    const int device_blocks = static_cast<int>(device_minutes * 60 * kInRate / kBlock);
    const double d = device(device_blocks, in);
    if (d >= 0)
        std::printf("on the virtual card:    %8.3f s CPU per audio hour (includes the card's recording)\n",
                    d * 60.0 / device_minutes);
    return 0;
}
