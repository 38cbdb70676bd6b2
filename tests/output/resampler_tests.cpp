#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "player/output/CResampler.h"

namespace {
// Collects what the resampler delivers (stereo or mono S16 output).
class Collector final : public IResamplerOutput {
public:
    explicit Collector(int channels) : m_channels(channels) {}
    int ResamplerOutputBuffer(const void* data, int frames) override {
        const auto* s = static_cast<const int16_t*>(data);
        samples.insert(samples.end(), s, s + frames * m_channels);
        total += frames;
        ++calls;
        return refuse ? -1 : 0;
    }
    std::vector<int16_t> samples;
    int64_t total = 0;
    int calls = 0;
    bool refuse = false;

private:
    int m_channels;
};

AudioInfo format(int bits, int rate, int channels) {
    AudioInfo info;
    info.bits = bits;
    info.rate = rate;
    info.channels = channels;
    return info;
}

std::vector<int16_t> sine(int frames, int channels, int rate, double hz, int64_t start = 0) {
    std::vector<int16_t> v(static_cast<size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            v[static_cast<size_t>(i) * channels + c] =
                static_cast<int16_t>(10000 * std::sin(2 * M_PI * hz * (start + i) / rate));
    return v;
}

// Frequency estimate from rising zero crossings of one channel.
double frequency(const std::vector<int16_t>& s, int channels, int channel, int rate) {
    int crossings = 0;
    size_t first = 0, last = 0;
    for (size_t i = 1; i < s.size() / channels; ++i)
        if (s[(i - 1) * channels + channel] < 0 && s[i * channels + channel] >= 0) {
            if (crossings == 0)
                first = i;
            last = i;
            ++crossings;
        }
    return crossings < 2 ? 0.0 : (crossings - 1) * static_cast<double>(rate) / (last - first);
}
}  // namespace

TEST(CResampler, RateConversionKeepsTheFrameCount) {
    Collector sink(2);
    CResampler r(&sink);
    const AudioInfo out = format(16, 48000, 2);
    const AudioInfo in = format(16, 44100, 2);
    ASSERT_EQ(r.SetOutputFormat(&out), 0);
    ASSERT_EQ(r.SetInputFormat(&in), 0);

    // 10 s of 1152-frame blocks: the output follows 48000/44100 without drifting.
    const int blocks = 10 * 44100 / 1152;
    int64_t in_frames = 0;
    for (int b = 0; b < blocks; ++b) {
        const auto block = sine(1152, 2, 44100, 1000.0, in_frames);
        ASSERT_EQ(r.Resample(block.data(), 1152), 0);
        in_frames += 1152;
        const int64_t expected = in_frames * 48000 / 44100;
        // Only the filter's latency may be held back, and it must not grow.
        ASSERT_NEAR(static_cast<double>(sink.total), static_cast<double>(expected), 64.0) << b;
    }
    EXPECT_NEAR(frequency(sink.samples, 2, 0, 48000), 1000.0, 2.0);
    EXPECT_NEAR(frequency(sink.samples, 2, 1, 48000), 1000.0, 2.0);

    // The largest block a decoder can hand over converts in one go.
    const auto big = sine(65535, 2, 44100, 1000.0);
    const int64_t before = sink.total;
    ASSERT_EQ(r.Resample(big.data(), 65535), 0);
    EXPECT_NEAR(static_cast<double>(sink.total - before), 65535.0 * 48000 / 44100, 64.0);
}

TEST(CResampler, EqualFormatsPassEveryBlockAndMonoBecomesStereo) {
    Collector sink(2);
    CResampler r(&sink);
    const AudioInfo same = format(16, 48000, 2);
    ASSERT_EQ(r.Initialize(), 0);
    ASSERT_EQ(r.SetOutputFormat(&same), 0);
    ASSERT_EQ(r.SetInputFormat(&same), 0);
    const auto block = sine(1000, 2, 48000, 440.0);
    ASSERT_EQ(r.Resample(block.data(), 1000), 0);
    EXPECT_EQ(sink.total, 1000);
    EXPECT_EQ(sink.samples, block);

    // Same channels, bits and rate with another second word: no re-initialization, still fine.
    AudioInfo tagged = same;
    tagged.tag = 7;
    EXPECT_EQ(r.SetInputFormat(&tagged), 0);

    const AudioInfo mono = format(16, 48000, 1);
    ASSERT_EQ(r.SetInputFormat(&mono), 0);
    const auto m = sine(4800, 1, 48000, 440.0);
    sink.samples.clear();
    ASSERT_EQ(r.Resample(m.data(), 4800), 0);
    ASSERT_GE(sink.samples.size(), 2u * 4000);
    // Both channels carry the mono signal.
    for (size_t i = 0; i < sink.samples.size() / 2; ++i)
        ASSERT_EQ(sink.samples[2 * i], sink.samples[2 * i + 1]) << i;
    EXPECT_NEAR(frequency(sink.samples, 2, 0, 48000), 440.0, 2.0);
}

TEST(CResampler, DropOutputRemovesExactlyThatManyFrames) {
    auto run = [](bool drop) {
        Collector sink(2);
        CResampler r(&sink);
        const AudioInfo out = format(16, 48000, 2);
        const AudioInfo in = format(16, 44100, 2);
        r.SetOutputFormat(&out);
        r.SetInputFormat(&in);
        int64_t pos = 0;
        for (int b = 0; b < 40; ++b) {
            if (drop && b == 10) {
                EXPECT_GE(r.DropOutput(100), 0);
            }
            const auto block = sine(1152, 2, 44100, 500.0, pos);
            EXPECT_EQ(r.Resample(block.data(), 1152), 0);
            pos += 1152;
        }
        return sink.total;
    };
    EXPECT_EQ(run(false) - run(true), 100);
}

TEST(CResampler, RefusesWhatItCannotConvert) {
    Collector sink(2);
    CResampler r(&sink);
    // No context yet: nothing to convert with.
    const auto block = sine(100, 2, 48000, 440.0);
    EXPECT_EQ(r.Resample(block.data(), 100), -1);
    EXPECT_EQ(r.DropOutput(10), -1);

    const AudioInfo out = format(16, 48000, 2);
    ASSERT_EQ(r.SetOutputFormat(&out), 0);
    // 24 bits, zero fields: refused without touching the working conversion.
    EXPECT_EQ(r.SetInputFormat(nullptr), -1);
    const AudioInfo bits24 = format(24, 44100, 2);
    EXPECT_EQ(r.SetInputFormat(&bits24), -1);
    const AudioInfo zero_rate = format(16, 0, 2);
    EXPECT_EQ(r.SetInputFormat(&zero_rate), -1);
    const AudioInfo zero_channels = format(16, 44100, 0);
    EXPECT_EQ(r.SetInputFormat(&zero_channels), -1);
    ASSERT_EQ(r.Initialize(), 0);
    EXPECT_EQ(r.Resample(block.data(), 100), 0);
    EXPECT_EQ(sink.total, 100);

    // A sink that refuses a block makes Resample fail.
    sink.refuse = true;
    EXPECT_EQ(r.Resample(block.data(), 100), -1);
}

TEST(CResampler, MultichannelInputIsDownmixedNotMisread) {
    Collector sink(2);
    CResampler r(&sink);
    const AudioInfo out = format(16, 48000, 2);
    const AudioInfo six = format(16, 48000, 6);
    ASSERT_EQ(r.SetOutputFormat(&out), 0);
    ASSERT_EQ(r.SetInputFormat(&six), 0);
    const auto block = sine(4800, 6, 48000, 300.0);
    ASSERT_EQ(r.Resample(block.data(), 4800), 0);
    // One output frame per input frame, and the tone keeps its pitch.
    EXPECT_EQ(sink.total, 4800);
    EXPECT_NEAR(frequency(sink.samples, 2, 0, 48000), 300.0, 2.0);
}
