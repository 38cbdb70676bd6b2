#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "player/output/CBufferingAlgorithm.h"
#include "player/output/CBufferingAlgorithmNone.h"
#include "player/output/CPCMOutputBuffered.h"
#include "player/output/CStreamHealth.h"
#include "tests/support/log/LogCapture.h"
#include "tests/support/vcard/VCardTestEnv.h"

using BufferingAlgorithm::CBufferingAlgorithm;
using BufferingAlgorithm::CBufferingAlgorithmNone;
using Clock = std::chrono::steady_clock;

namespace {
constexpr int kInRate = 44100;
constexpr uint16_t kBlock = 1152;

AudioInfo format(int bits, int rate, int channels) {
    AudioInfo info;
    info.bits = bits;
    info.rate = rate;
    info.channels = channels;
    return info;
}

// A continuous 1 kHz stereo tone at 44100 Hz, handed out block by block.
class ToneFeeder {
public:
    const uint8_t* next(uint16_t frames) {
        m_block.resize(static_cast<size_t>(frames) * 2);
        for (uint16_t i = 0; i < frames; ++i) {
            const auto v = static_cast<int16_t>(12000 * std::sin(2 * M_PI * 1000.0 * m_pos++ / kInRate));
            m_block[2 * i] = v;
            m_block[2 * i + 1] = v;
        }
        return reinterpret_cast<const uint8_t*>(m_block.data());
    }
    int64_t position() const { return m_pos; }

private:
    int64_t m_pos = 0;
    std::vector<int16_t> m_block;
};

class BufferedOutputOnCard : public ::testing::Test {
protected:
    // speed: the card's clock factor, set before the device is opened.
    void open(BufferingAlgorithm::IBufferingAlgorithm* algorithm, int delay_ms, const std::string& speed) {
        env = std::make_unique<vcard::VCardTestEnv>(speed);
        output = std::make_unique<CPCMOutputBuffered>(algorithm, delay_ms, 50);
        output->set_player_prefix("P1");
        output->set_player_id(1);
        output->SetHealth(&health);
        health.Start();
        ASSERT_EQ(output->Initialize(), 0);
        const AudioInfo in = format(16, kInRate, 2);
        ASSERT_EQ(output->SetAudioFormat(&in), 0);
    }
    void TearDown() override {
        if (output)
            output->DeInitialize();
        output.reset();
        env.reset();
    }
    uint64_t total() {
        uint64_t t = 0;
        EXPECT_EQ(output->GetTotalDelay(&t), 0);
        return t;
    }
    // Writes blocks until playback starts; returns the number of blocks written.
    int prebuffer(ToneFeeder& tone) {
        int blocks = 0;
        while (output->IsPrebuffering() && blocks < 1000) {
            EXPECT_EQ(output->WriteBuffer(tone.next(kBlock), kBlock, 0), 0);
            ++blocks;
        }
        return blocks;
    }
    // Feeds blocks paced as a real-time source on a card running speed times faster.
    void feed_realtime(ToneFeeder& tone, int blocks, double speed) {
        const auto period = std::chrono::duration<double>(kBlock / static_cast<double>(kInRate) / speed);
        auto due = Clock::now();
        for (int i = 0; i < blocks; ++i) {
            ASSERT_EQ(output->WriteBuffer(tone.next(kBlock), kBlock, 0), 0);
            due += std::chrono::duration_cast<Clock::duration>(period);
            std::this_thread::sleep_until(due);
        }
    }

    CBufferingAlgorithmNone none{48000};
    CBufferingAlgorithm rtp{500, 50};
    CStreamHealth health;
    std::unique_ptr<vcard::VCardTestEnv> env;
    std::unique_ptr<CPCMOutputBuffered> output;
};
}  // namespace

TEST(CPCMOutputBuffered, ThresholdsAndRingSizes) {
    CBufferingAlgorithmNone none(48000);
    CPCMOutputBuffered capped(&none, 12000, 50);
    EXPECT_EQ(capped.GetThreshold(), 432000u);
    EXPECT_EQ(capped.SetBufferSize(12000), 0);  // no device yet: stop and start are no-ops
    EXPECT_EQ(capped.GetThreshold(), 576000u);
    EXPECT_EQ(capped.GetRingCapacity(), 864000u);
    EXPECT_TRUE(capped.IsPrebuffering());
    EXPECT_EQ(capped.GetDecoderId(), DECODER_ID_PCM);

    // Unusable formats are refused before they reach the resampler.
    LogCapture log;
    const AudioInfo zero_bits = format(0, 44100, 2);
    EXPECT_EQ(capped.SetAudioFormat(&zero_bits), -1);
    EXPECT_EQ(log.count("Improper audio format provided: bits=0,channels=2,rate=44100. Clearing audio format values."), 1u);
    const AudioInfo zero_rate = format(16, 0, 2);
    EXPECT_EQ(capped.SetAudioFormat(&zero_rate), -1);
    const AudioInfo zero_channels = format(16, 44100, 0);
    EXPECT_EQ(capped.SetAudioFormat(&zero_channels), -1);
    const AudioInfo bits24 = format(24, 44100, 2);
    EXPECT_EQ(capped.SetAudioFormat(&bits24), -1);
    const AudioInfo good = format(16, 44100, 1);
    EXPECT_EQ(capped.SetAudioFormat(&good), 0);
    // Without a device nothing can be written.
    const int16_t pcm[4] = {};
    EXPECT_EQ(capped.WriteBuffer(reinterpret_cast<const uint8_t*>(pcm), 2, 0), -1);
}

TEST_F(BufferedOutputOnCard, StartsOnlyAtThresholdAndNamesBothNumbers) {
    LogCapture log;
    open(&none, 500, "1");
    ToneFeeder tone;
    uint64_t before = 0;
    int blocks = 0;
    while (output->IsPrebuffering() && blocks < 100) {
        before = total();
        ASSERT_LT(before, 24000u) << "still pre-buffering above the threshold";
        ASSERT_EQ(output->WriteBuffer(tone.next(kBlock), kBlock, 0), 0);
        ++blocks;
    }
    ASSERT_FALSE(output->IsPrebuffering());
    // 1152 frames at 44100 Hz are about 1254 at 48000 Hz: the start comes with the block
    // that crosses 24000.
    EXPECT_EQ(blocks, 20);
    const auto lines = log.matching("Audio threshold of");
    ASSERT_EQ(lines.size(), 1u);
    unsigned long long threshold = 0, current = 0;
    ASSERT_EQ(std::sscanf(lines[0].c_str(),
                          "P1 BUFFERED AUDIO OUT:  id=1, CPCMOutputBuffered::WriteBuffer(): Audio threshold of %llu samples reached (current %llu). Starting playback",
                          &threshold, &current),
              2)
        << lines[0];
    EXPECT_EQ(threshold, 24000u);
    EXPECT_GE(current, 24000u);
    EXPECT_LT(current, before + 1400);
    const auto starts = vcard::ReadEvents(env->Dir(), "dmix");
    int start_events = 0;
    for (const auto& e : starts)
        start_events += e.name == "start";
    EXPECT_EQ(start_events, 1);
}

TEST_F(BufferedOutputOnCard, StalledFeederUnderrunsAndRebuffersAtThreshold) {
    LogCapture log;
    const double speed = 4;
    open(&none, 300, "4");
    ToneFeeder tone;
    prebuffer(tone);
    feed_realtime(tone, 40, speed);
    EXPECT_FALSE(output->IsPrebuffering());
    const size_t starts = log.count("Audio threshold of 14400 samples reached");
    EXPECT_GE(starts, 1u);

    // The feeder stalls for far longer than the buffered 300 ms (75 ms of wall time).
    EXPECT_EQ(health.Read().underruns, 0u);
    EXPECT_EQ(health.Read().target_ms, 300u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    output->alsa_write_audio_poll();
    EXPECT_TRUE(output->IsPrebuffering());
    EXPECT_EQ(health.Read().underruns, 1u);
    // Not restarted by a poll, nor by a block below the threshold.
    output->alsa_write_audio_poll();
    ASSERT_EQ(output->WriteBuffer(tone.next(kBlock), kBlock, 0), 0);
    EXPECT_TRUE(output->IsPrebuffering());
    EXPECT_EQ(log.count("Audio threshold of"), starts);

    const int blocks = prebuffer(tone);
    EXPECT_FALSE(output->IsPrebuffering());
    EXPECT_GE(blocks, 10);  // about 14400 frames more were needed
    EXPECT_EQ(log.count("Audio threshold of 14400 samples reached"), starts + 1);
    EXPECT_EQ(health.Read().underruns, 1u);
    EXPECT_GE(health.Read().buffer_ms, 250u);
    int xruns = 0;
    for (const auto& e : vcard::ReadEvents(env->Dir(), "dmix"))
        xruns += e.name == "xrun";
    EXPECT_GE(xruns, 1);
}

TEST_F(BufferedOutputOnCard, StopAudioDiscardsQueuedAudio) {
    open(&none, 500, "1");
    ToneFeeder tone;
    prebuffer(tone);
    ASSERT_GT(total(), 24000u);
    EXPECT_EQ(output->StopAudio(), 0);
    EXPECT_TRUE(output->IsPrebuffering());
    EXPECT_EQ(output->StartAudio(), 0);
    EXPECT_EQ(total(), 0u);
    // A following block pre-buffers again.
    ASSERT_EQ(output->WriteBuffer(tone.next(kBlock), kBlock, 0), 0);
    EXPECT_TRUE(output->IsPrebuffering());
    EXPECT_NEAR(static_cast<double>(total()), 1254.0, 2.0);
    bool dropped = false;
    for (const auto& e : vcard::ReadEvents(env->Dir(), "dmix"))
        dropped = dropped || e.name == "drop";
    EXPECT_TRUE(dropped);

    // DeInitWithDrain does not wait for the queued audio: it closes at once.
    prebuffer(tone);
    EXPECT_EQ(output->DeInitWithDrain(), 0);
    bool drained = false;
    for (const auto& e : vcard::ReadEvents(env->Dir(), "dmix"))
        drained = drained || e.name == "drain";
    EXPECT_FALSE(drained);
}

TEST_F(BufferedOutputOnCard, RecordsTheResampledToneWithoutGaps) {
    const double speed = 4;
    open(&none, 300, "4");
    ToneFeeder tone;
    prebuffer(tone);
    const int blocks = 2 * kInRate / kBlock;  // two seconds
    feed_realtime(tone, blocks, speed);
    // Let the device play what it holds (ring below one period stays behind).
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    output->alsa_write_audio_poll();
    const int64_t fed = tone.position();
    ASSERT_EQ(output->DeInitialize(), 0);
    output.reset();

    vcard::Wav wav;
    ASSERT_EQ(vcard::ReadWav(env->WavPath("dmix"), &wav), 0);
    EXPECT_EQ(wav.rate, 48000u);
    EXPECT_EQ(wav.channels, 2u);
    const double expected = fed * 48000.0 / kInRate;
    // Everything fed was played except at most the ring's last partial period and the
    // device's own queue at the under-run point.
    EXPECT_LE(wav.Frames(), expected + 64);
    EXPECT_GE(wav.Frames(), expected - 48000 * 0.35);
    for (size_t first = 0; first + 4800 <= wav.Frames(); first += 4800) {
        ASSERT_NEAR(vcard::DominantFrequency(wav, 0, first, 4800), 1000.0, 5.0) << "at frame " << first;
        ASSERT_NEAR(vcard::DominantFrequency(wav, 1, first, 4800), 1000.0, 5.0) << "at frame " << first;
    }
    EXPECT_TRUE(vcard::FindSilence(wav, 48).empty());
}

TEST_F(BufferedOutputOnCard, LossesAndHugeBlocksStayInsideTheRing) {
    LogCapture log;
    open(&rtp, 500, "1");
    ToneFeeder tone;
    prebuffer(tone);
    ASSERT_FALSE(output->IsPrebuffering());
    // A loss told right after the start was waited for while buffering: not filled.
    uint64_t before = total();
    ASSERT_EQ(output->WriteBuffer(tone.next(kBlock), kBlock, 3), 0);
    EXPECT_LT(static_cast<double>(total()), before + 2 * 1254.0);
    // Losses told once the card has played a while are.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));

    // The card keeps playing between two readings: allow for what it played meanwhile.
    auto played_since = [](std::chrono::steady_clock::time_point since) {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - since;
        return elapsed.count() * 48000.0;
    };
    auto since = std::chrono::steady_clock::now();
    const uint64_t level0 = total();
    ASSERT_EQ(output->WriteBuffer(tone.next(kBlock), kBlock, 3), 0);  // repeated 4 times
    EXPECT_NEAR(static_cast<double>(total()), level0 + 4 * 1254.0, 400.0 + played_since(since));
    since = std::chrono::steady_clock::now();
    const uint64_t level1 = total();
    ASSERT_EQ(output->WriteBuffer(tone.next(kBlock), kBlock, 4), 0);  // 5 blocks of silence
    EXPECT_NEAR(static_cast<double>(total()), level1 + 5 * 1254.0, 400.0 + played_since(since));

    // The largest block a decoder can produce.
    ASSERT_EQ(output->WriteBuffer(tone.next(65535), 65535, 0), 0);
    EXPECT_EQ(log.count("Audio buffer full"), 0u);

    // A thousand lost packets cannot be bridged: the ring fills, one message, no overrun.
    ASSERT_EQ(output->WriteBuffer(tone.next(kBlock), kBlock, 1000), 0);
    EXPECT_LE(log.count("Audio buffer full"), 2u);
    EXPECT_GE(log.count("Audio buffer full"), 1u);
    EXPECT_LE(output->GetRingCapacity(), 432000u);
    EXPECT_LE(total(), 432000u + 48000u);
    // Zero-length blocks are harmless.
    ASSERT_EQ(output->WriteBuffer(tone.next(0), 0, 0), 0);
    ASSERT_EQ(output->WriteBuffer(tone.next(0), 0, 5), 0);
    // What stands in for lost packets is no level correction; the packets themselves are
    // counted by the source, from their sequence numbers.
    const OrvanePlayer::StreamHealth h = health.Read();
    EXPECT_EQ(h.lost_packets, 0u);
    EXPECT_EQ(h.duplicated_frames, 0u);
    EXPECT_EQ(h.dropped_frames, 0u);
}

namespace {
// Counts the checks made while the writer waits for room; gives up after `limit` of them.
struct RoomCheck {
    int calls = 0;
    int limit = -1;
    static int check(void* self) {
        auto* c = static_cast<RoomCheck*>(self);
        ++c->calls;
        return c->limit >= 0 && c->calls > c->limit ? 1 : 0;
    }
};
}  // namespace

TEST_F(BufferedOutputOnCard, BackPressureWaitsForTheDeviceAndPlayOutPlaysEverything) {
    LogCapture log;
    open(&none, 300, "2");
    // A ring of 300 ms, so that even an emulated writer outruns the device.
    ASSERT_EQ(output->SetBufferSize(200), 0);
    RoomCheck room;
    output->SetBackPressure(&RoomCheck::check, &room);
    ToneFeeder tone;
    // Three seconds unpaced: the writer must wait for the device, never drop.
    const int blocks = 3 * kInRate / kBlock;
    for (int i = 0; i < blocks; ++i)
        ASSERT_EQ(output->WriteBuffer(tone.next(kBlock), kBlock, 0), 0);
    EXPECT_GT(room.calls, 0);
    EXPECT_EQ(log.count("Audio buffer full"), 0u);
    EXPECT_EQ(log.count("ring full, the source waits for the device"), 1u);
    int passes = 0;
    while (output->PlayOut() > 0 && passes < 2000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++passes;
    }
    EXPECT_EQ(output->PlayOut(), 0);
    // Running dry after the last frame of a finite stream is its end, not an under-run.
    EXPECT_EQ(health.Read().underruns, 0u);
    ASSERT_EQ(output->DeInitialize(), 0);
    output.reset();

    vcard::Wav wav;
    ASSERT_EQ(vcard::ReadWav(env->WavPath("dmix"), &wav), 0);
    const double expected = tone.position() * 48000.0 / kInRate;
    // All of it, the last partial period padded with silence.
    EXPECT_GE(static_cast<double>(wav.Frames()), expected - 64);
    EXPECT_LE(static_cast<double>(wav.Frames()), expected + 1024 + 64);
    EXPECT_TRUE(vcard::FindSilence(wav, 48).size() <= 1);
}

TEST_F(BufferedOutputOnCard, PlayOutStartsAStreamShorterThanItsThresholdAndACheckEndsTheWait) {
    LogCapture log;
    open(&none, 2000, "8");
    RoomCheck room;
    room.limit = 3;
    output->SetBackPressure(&RoomCheck::check, &room);
    ToneFeeder tone;
    const int blocks = kInRate / 2 / kBlock;  // half a second, below the 2 s threshold
    for (int i = 0; i < blocks; ++i)
        ASSERT_EQ(output->WriteBuffer(tone.next(kBlock), kBlock, 0), 0);
    ASSERT_TRUE(output->IsPrebuffering());
    ASSERT_GT(output->PlayOut(), 0);
    EXPECT_FALSE(output->IsPrebuffering());
    EXPECT_EQ(log.count("end of stream with"), 1u);
    int passes = 0;
    while (output->PlayOut() > 0 && passes < 2000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++passes;
    }
    const double expected = tone.position() * 48000.0 / kInRate;

    // A check that says stop ends a wait for room: the rest of the block is given up
    // without the full-buffer error.
    output->StopAudio();
    output->StartAudio();
    for (int i = 0; i < 20 * kInRate / kBlock && room.calls <= room.limit; ++i)
        ASSERT_EQ(output->WriteBuffer(tone.next(kBlock), kBlock, 0), 0);
    EXPECT_EQ(room.calls, room.limit + 1);
    EXPECT_EQ(log.count("Audio buffer full"), 0u);
    output->StopAudio();
    ASSERT_EQ(output->DeInitialize(), 0);
    output.reset();

    vcard::Wav wav;
    ASSERT_EQ(vcard::ReadWav(env->WavPath("dmix"), &wav), 0);
    EXPECT_GE(static_cast<double>(wav.Frames()), expected - 64);
}
