#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "player/output/CBufferingAlgorithm.h"
#include "player/output/CBufferingAlgorithmNone.h"
#include "tests/support/log/LogCapture.h"
#include "utils/CLogger.h"

using BufferingAlgorithm::CBufferingAlgorithm;
using BufferingAlgorithm::CBufferingAlgorithmNone;

namespace {
// Runs the device for a while at a steady measured level so the filter settles there.
void settle(CBufferingAlgorithm& a, uint64_t level) {
    uint64_t out = 0;
    a.WriteFrame(level, 1152, false, &out, 0);
}
}  // namespace

TEST(CBufferingAlgorithm, TicksAndParameters) {
    LogCapture log;
    CBufferingAlgorithm a(500, 50);
    a.set_player_prefix("P1");
    a.SetParameters(500, 50);
    EXPECT_EQ(a.MsToTicks(500), 24000);
    EXPECT_EQ(a.MsToTicks(50), 2400);
    EXPECT_EQ(a.TicksToMs(24000), 500);
    EXPECT_EQ(a.TicksToMs(47), 0);  // truncation toward zero
    EXPECT_EQ(a.TicksToMs(-47), 0);
    EXPECT_EQ(a.MsToTicks(9000), 432000);
    EXPECT_TRUE(log.Contains("P1 BUFFERING RTP: Buffering [level_ms,level_ticks,acc_ms,acc_ticks] params: [500,24000,50,2400]"));

    // A rate change keeps the smoothed level meaning the same time.
    settle(a, 24000);
    a.SetSampleRate(44100);
    EXPECT_EQ(a.MsToTicks(500), 22050);
    EXPECT_DOUBLE_EQ(a.GetFilteredLevel(), 22050.0);
}

TEST(CBufferingAlgorithm, CorrectionsOfOneAccuracy) {
    LogCapture log;
    CBufferingAlgorithm a(500, 50);
    uint64_t out = 0;

    // Not running: block unchanged, filter follows the measurement.
    EXPECT_EQ(a.WriteFrame(20000, 1152, false, &out, 0), 0);
    EXPECT_EQ(out, 1152u);
    EXPECT_DOUBLE_EQ(a.GetFilteredLevel(), 20000.0);

    // Running 4000 below the target: one correction of 2400 frames.
    EXPECT_EQ(a.WriteFrame(20000, 1152, true, &out, 0), 0);
    EXPECT_EQ(out, 3552u);
    EXPECT_DOUBLE_EQ(a.GetFilteredLevel(), 22400.0);
    EXPECT_TRUE(log.Contains("buffer level too low (DELTA=-4000) < -(ACC=2400) -> duplicating 2400 samples"));

    // Exactly at -acc and +acc: no correction.
    settle(a, 24000 - 2400);
    EXPECT_EQ(a.WriteFrame(24000 - 2400, 1152, true, &out, 0), 0);
    EXPECT_EQ(out, 1152u);
    settle(a, 24000 + 2400);
    EXPECT_EQ(a.WriteFrame(24000 + 2400, 1152, true, &out, 0), 0);
    EXPECT_EQ(out, 1152u);

    // Too high with a block larger than the correction: cut by 2400.
    settle(a, 30000);
    EXPECT_EQ(a.WriteFrame(30000, 4000, true, &out, 0), 0);
    EXPECT_EQ(out, 1600u);
    EXPECT_DOUBLE_EQ(a.GetFilteredLevel(), 27600.0);
    EXPECT_TRUE(log.Contains("buffer level too high (DELTA=6000) > (ACC=2400) -> dropping 2400 samples"));

    // Too high with a block smaller than the correction: the whole block goes.
    settle(a, 30000);
    EXPECT_EQ(a.WriteFrame(30000, 1152, true, &out, 0), 0);
    EXPECT_EQ(out, 0u);
    // The filter moves by the 1152 frames really removed, not by the full correction.
    EXPECT_DOUBLE_EQ(a.GetFilteredLevel(), 30000.0 - 1152.0);
}

TEST(CBufferingAlgorithm, LossesRepeatOrInsertSilence) {
    LogCapture log;
    CBufferingAlgorithm a(500, 50);
    a.set_player_prefix("P1");
    uint64_t out = 0;
    settle(a, 24000);

    EXPECT_EQ(a.WriteFrame(24000, 1152, true, &out, 0), 0);
    EXPECT_EQ(out, 1152u);
    EXPECT_EQ(a.WriteFrame(24000, 1152, true, &out, 3), 0);
    EXPECT_EQ(out, 4u * 1152);
    EXPECT_TRUE(log.Contains("P1 BUFFERING RTP: ERROR :CBufferingAlgorithm::WriteFrame(): minor loss of 3 packets detected -> replicating 4608 samples"));
    EXPECT_EQ(a.WriteFrame(24000, 1152, true, &out, 4), 1);
    EXPECT_EQ(out, 5u * 1152);
    EXPECT_TRUE(log.Contains("major loss of 4 packets detected -> hard inserting 5760 samples of silence"));

    // Large counts and blocks must not wrap the 32-bit product.
    EXPECT_EQ(a.WriteFrame(24000, 65535, true, &out, 1000), 1);
    EXPECT_EQ(out, 65535u * 1001u);
    EXPECT_EQ(a.WriteFrame(24000, 65535, true, &out, 0xFFFFFFFFu), 1);
    EXPECT_EQ(out, 65535ull * 0x100000000ull);
}

TEST(CBufferingAlgorithmNone, PassesEverythingThrough) {
    CBufferingAlgorithmNone a(48000);
    uint64_t out = 0;
    EXPECT_EQ(a.WriteFrame(0, 1152, true, &out, 10), 0);
    EXPECT_EQ(out, 1152u);
    EXPECT_EQ(a.WriteFrame(1000000, 65535, false, &out, 1000), 0);
    EXPECT_EQ(out, 65535u);
    EXPECT_EQ(a.MsToTicks(10000), 480000);
    a.SetSampleRate(44100);
    EXPECT_EQ(a.TicksToMs(44100), 1000);
}
