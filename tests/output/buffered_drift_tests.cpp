// Long-run clock drift: the card's clock runs 500 ppm fast, then 500 ppm slow, against a
// feeder that delivers exactly real-time RTP blocks. Levels are taken at the moment each
// block was due. The test thread wakes up a little late on average, and the algorithm (which
// sees the late, lower level) keeps the level that much higher: the upper bound discounts
// that mean lateness, as a punctual source would not cause it. Prints the level over time as CSV
// ("drift,<ppm>,<seconds>,<level ms>,<filtered ms>,<frames duplicated>,<frames dropped>,
// <under-runs>") for scripts/plot_buffer.py.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "player/output/CBufferingAlgorithm.h"
#include "player/output/CPCMOutputBuffered.h"
#include "player/output/CStreamHealth.h"
#include "tests/support/log/LogCapture.h"
#include "tests/support/vcard/VCardTestEnv.h"

using BufferingAlgorithm::CBufferingAlgorithm;
using Clock = std::chrono::steady_clock;

namespace {
constexpr int kRate = 48000;
constexpr uint16_t kBlock = 1152;  // one MPEG audio frame per RTP packet
constexpr int kDelayMs = 500;
constexpr int kAccMs = 50;

// Simulated seconds per phase; QUILLON_DRIFT_SECONDS overrides for longer runs.
int phase_seconds() {
    const char* s = std::getenv("QUILLON_DRIFT_SECONDS");
    const int v = s ? std::atoi(s) : 0;
    return v > 0 ? v : 300;
}

struct PhaseResult {
    int64_t min_level = INT64_MAX;  // at the due time of each block
    int64_t max_level = 0;
    int corrections = 0;
    double late_sum_s = 0;  // how late the feeder ran in total (wall seconds)
    int blocks = 0;
    OrvanePlayer::StreamHealth health;
};

// Plays one phase at the given clock offset; levels are in frames.
void run_phase(double ppm, double speed, PhaseResult* result) {
    vcard::VCardTestEnv env(std::to_string(speed));
    env.Set("VCARD_PPM", std::to_string(ppm));
    LogCapture log;
    CBufferingAlgorithm rtp(kDelayMs, kAccMs);
    CPCMOutputBuffered output(&rtp, kDelayMs, kAccMs);
    CStreamHealth health;
    output.SetHealth(&health);
    health.Start();
    output.set_player_prefix("DRIFT");
    ASSERT_EQ(output.Initialize(), 0);
    AudioInfo in;
    in.bits = 16;
    in.rate = kRate;
    in.channels = 2;
    ASSERT_EQ(output.SetAudioFormat(&in), 0);

    std::vector<int16_t> block(kBlock * 2);
    int64_t pos = 0;
    auto next_block = [&] {
        for (int i = 0; i < kBlock; ++i, ++pos)
            block[2 * i] = block[2 * i + 1] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * pos / kRate));
        return reinterpret_cast<const uint8_t*>(block.data());
    };
    // Pre-buffer as a source would: blocks arrive in real time until the start.
    const double block_wall_s = kBlock / static_cast<double>(kRate) / speed;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(block_wall_s));
    auto due = Clock::now();
    while (output.IsPrebuffering()) {
        ASSERT_EQ(output.WriteBuffer(next_block(), kBlock, 0), 0);
        due += period;
        std::this_thread::sleep_until(due);
    }
    const int blocks = phase_seconds() * kRate / kBlock;
    const double frames_per_wall_s = kRate * speed * (1.0 + ppm * 1e-6);
    for (int b = 0; b < blocks; ++b) {
        uint64_t level = 0;
        const auto before = Clock::now();
        ASSERT_EQ(output.GetTotalDelay(&level), 0);
        const auto after = Clock::now();
        // Measured late by the scheduler: add back what the device played meanwhile, to get
        // the level at the moment the block was due. A reading the thread was pre-empted
        // in the middle of cannot be placed in time and is not counted.
        const double late_s = std::chrono::duration<double>(before - due).count();
        const auto at_due = static_cast<int64_t>(level + std::max(0.0, late_s) * frames_per_wall_s);
        if (after - before < std::chrono::microseconds(200)) {
            result->late_sum_s += std::max(0.0, late_s);
            ++result->blocks;
            result->min_level = std::min(result->min_level, at_due);
            result->max_level = std::max(result->max_level, at_due);
        }
        if (b % (5 * kRate / kBlock) == 0) {
            const OrvanePlayer::StreamHealth h = health.Read();
            std::printf("drift,%+.0f,%.1f,%.1f,%.1f,%" PRIu64 ",%" PRIu64 ",%" PRIu64 "\n", ppm,
                        b * kBlock / static_cast<double>(kRate), at_due * 1000.0 / kRate,
                        rtp.GetFilteredLevel() * 1000.0 / kRate, h.duplicated_frames, h.dropped_frames,
                        h.underruns);
        }
        ASSERT_EQ(output.WriteBuffer(next_block(), kBlock, 0), 0);
        ASSERT_FALSE(output.IsPrebuffering()) << "under-run after " << b << " blocks";
        due += period;
        std::this_thread::sleep_until(due);
    }
    result->corrections = static_cast<int>(log.count("buffer level too"));
    result->health = health.Read();
    EXPECT_EQ(log.count("Audio buffer full"), 0u);
    output.DeInitialize();
    int xruns = 0;
    for (const auto& e : vcard::ReadEvents(env.Dir(), "dmix"))
        xruns += e.name == "xrun";
    EXPECT_EQ(xruns, 0);
}
}  // namespace

TEST(CPCMOutputBufferedDrift, LevelStaysNearTargetAgainstFastAndSlowClocks) {
    // The sped-up clock turns every scheduling delay of this feeder thread into a loss of
    // buffered audio; a real-time priority keeps a busy build machine from causing that.
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0)
        std::printf("drift: no real-time priority for the feeder; a busy machine may disturb it\n");
    // Ten minutes of audio in about a minute; faster clocks turn scheduling hiccups of the
    // test's feeder thread into under-runs of the 500 ms device buffer.
    const double speed = 10;
    const int64_t target = kDelayMs * kRate / 1000;
    const int64_t slack = kAccMs * kRate / 1000 + kBlock;
    for (const double ppm : {500.0, -500.0}) {
        PhaseResult r;
        run_phase(ppm, speed, &r);
        std::printf("drift phase %+.0f ppm: level %.1f..%.1f ms, %d corrections, feeder late by %.2f ms on average\n",
                    ppm, r.min_level * 1000.0 / kRate, r.max_level * 1000.0 / kRate, r.corrections,
                    r.blocks ? r.late_sum_s * 1000.0 * speed / r.blocks : 0.0);
        EXPECT_GE(r.min_level, target - slack) << ppm << " ppm";
        const double mean_late_frames = r.blocks ? r.late_sum_s * speed * kRate / r.blocks : 0.0;
        EXPECT_LE(r.max_level - mean_late_frames, target + slack) << ppm << " ppm";
        // 500 ppm over the phase is more than one accuracy: the algorithm had to act.
        EXPECT_GE(r.corrections, 1) << ppm << " ppm";
        // A fast card drains the buffer (frames are added), a slow one fills it (left out).
        EXPECT_EQ(r.health.duplicated_frames > 0, ppm > 0) << ppm << " ppm";
        EXPECT_EQ(r.health.dropped_frames > 0, ppm < 0) << ppm << " ppm";
        EXPECT_EQ(r.health.underruns, 0u) << ppm << " ppm";
    }
}
