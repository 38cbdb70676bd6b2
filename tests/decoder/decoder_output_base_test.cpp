#include <gtest/gtest.h>

#include "player/decoder/CAudioOutput.h"
#include "player/decoder/CAudioOutputDummy.h"
#include "tests/support/log/LogCapture.h"
#include "tests/decoder/RecordingOutput.h"

namespace {

// The smallest concrete stage: only what the base leaves to derived classes.
class PassThroughStage final : public CAudioOutput {
public:
    int RestartFeed() override { return 0; }
    int GetDecoderId() override { return 7; }
    int SetAudioFormat(const AudioFormat* f) override { return AssignAudioFormat(f); }
    int SetBufferSize(unsigned) override { return 0; }
    int ReservedOperation(int, int) override { return 0; }
    int WriteBuffer(const uint8_t* d, uint16_t n, unsigned int ts) override {
        SendAudio(d, n, ts);
        return 0;
    }
};

}  // namespace

TEST(CAudioOutput, FailingDependentIsRestartedAndTheRestStillServed) {
    LogCapture log;
    PassThroughStage stage;
    RecordingOutput failing, healthy;
    failing.write_result = -5;
    stage.SetDependentOutput(&failing);
    stage.SetDependentOutput(&healthy);  // replaces, so only 'healthy' remains
    const int16_t pcm[4] = {1, 2, 3, 4};
    stage.SendAudio(reinterpret_cast<const uint8_t*>(pcm), 2, 0);
    EXPECT_TRUE(failing.events.empty());
    ASSERT_EQ(healthy.events.size(), 1u);

    // Two dependents, the first failing: it is restarted, the second still gets the data.
    RecordingOutput first, second;
    first.write_result = -1;
    stage.SetDependentOutput(&first);
    stage.AddDependentOutput(&second);
    stage.SendAudio(reinterpret_cast<const uint8_t*>(pcm), 2, 0);
    ASSERT_EQ(first.events.size(), 2u);
    EXPECT_EQ(first.events[0].kind, RecordingOutput::Event::kPcm);
    EXPECT_EQ(first.events[1].kind, RecordingOutput::Event::kRestart);
    EXPECT_EQ(second.CountOf(RecordingOutput::Event::kPcm), 1u);
    EXPECT_TRUE(log.Contains("PLAYBACK : ERROR :CAudioOutput::SendAudio() returned negative "
                             "return value ret=-1, restarting the feed.\n"));
}

TEST(CAudioOutput, AssignAudioFormatReportsTheDependentsAnswer) {
    LogCapture log;
    PassThroughStage stage;
    AudioInfo info;
    info.bits = 16;
    info.rate = 44100;
    info.channels = 2;
    EXPECT_EQ(stage.AssignAudioFormat(&info), 0);  // no dependents
    RecordingOutput out;
    out.format_result = -3;
    stage.SetDependentOutput(&out);
    EXPECT_EQ(stage.AssignAudioFormat(&info), -3);
    ASSERT_EQ(out.segments.size(), 1u);
    EXPECT_EQ(out.segments[0].format.rate, 44100);
    EXPECT_TRUE(log.Contains("ERROR :CAudioOutput::AssignAudioFormat(): Setting audio format for "
                             "audio interface"));
    // The empty format that clears a dependent is refused by it as designed: that is
    // passed on, but logged as no failure.
    log.clear();
    const AudioInfo empty;
    EXPECT_EQ(stage.AssignAudioFormat(&empty), -3);
    EXPECT_FALSE(log.Contains("ERROR")) << log.All();
    // Decoder id and codec configuration are forwarded; the dependent's 0 is returned.
    EXPECT_EQ(stage.SetDecoderId(2), 0);
}

TEST(CAudioOutputDummy, AbsorbsEverything) {
    CAudioOutputDummy dummy;
    AudioInfo info;
    EXPECT_EQ(dummy.SetDecoderId(1), 0);
    EXPECT_EQ(dummy.GetDecoderId(), 0);
    EXPECT_EQ(dummy.RestartFeed(), 0);
    EXPECT_EQ(dummy.SetAudioFormat(&info), 0);
    EXPECT_EQ(dummy.SetBufferSize(100), 0);
    EXPECT_EQ(dummy.ReservedOperation(1, 2), 0);
    EXPECT_EQ(dummy.WriteBuffer(nullptr, 10, 0), 0);
    dummy.SetExtraData(nullptr, nullptr, nullptr);
}
