#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/output/pcm_test_support.h"

namespace {

constexpr const char* kDevice = "channel1";

// Writes a tone in blocks the size a decoder sends (1152 frames).
int WriteTone(CPCMOutput& out, const vcard::Wav& wav, size_t first = 0, size_t frames = SIZE_MAX) {
    frames = std::min(frames, wav.Frames() - first);
    int total = 0;
    for (size_t done = 0; done < frames;) {
        const uint16_t n = static_cast<uint16_t>(std::min<size_t>(1152, frames - done));
        const int r = out.WriteBuffer(
            reinterpret_cast<const uint8_t*>(wav.samples.data() + (first + done) * wav.channels), n, 0);
        if (r < 0)
            return r;
        total += r;
        done += n;
    }
    return total;
}

// Gives the test access to the open handle, as a derived output has.
class OutputWithHandle final : public CPCMOutput {
public:
    using CPCMOutput::handle;
};

}  // namespace

TEST(CPCMOutput, FormatAndOpenFailuresLeaveAClearState) {
    vcard::VCardTestEnv env("unpaced");
    LogCapture log;
    CPCMOutput out;
    EXPECT_STREQ(out.GetDeviceName(), "plug:dmix");
    out.SetDeviceName(kDevice);
    out.set_player_prefix("P1");

    // Closed output: nothing to close, drain or start; writing is refused.
    EXPECT_EQ(out.DeInitialize(), 0);
    EXPECT_EQ(out.DeInitWithDrain(), 0);
    EXPECT_EQ(out.StopAudio(), 0);
    EXPECT_EQ(out.StartAudio(), 0);
    EXPECT_TRUE(log.Contains("P1 AUDIO OUT: CPCMOutput::StartAudio(): NULL Audio handle found."));
    const int16_t frame[2] = {0, 0};
    EXPECT_EQ(out.WriteBuffer(reinterpret_cast<const uint8_t*>(frame), 1, 0), -1);
    int64_t delay = 7;
    EXPECT_LT(out.GetDelay(&delay), 0);
    EXPECT_EQ(delay, 7);

    // A format with a zero field is refused and does not open anything.
    for (const AudioInfo& bad : {Format(0, 44100, 2), Format(16, 0, 2), Format(16, 44100, 0)}) {
        EXPECT_EQ(out.SetAudioFormat(&bad), -1);
        EXPECT_FALSE(out.IsOpen());
    }
    EXPECT_TRUE(log.Contains("P1 AUDIO OUT: Improper audio format provided: bits=16,channels=0,rate=44100."));

    // The device refuses to open.
    env.Set("VCARD_FAIL_OPEN", kDevice);
    const AudioInfo cd = Format(16, 44100, 2);
    EXPECT_EQ(out.SetAudioFormat(&cd), -1);
    EXPECT_TRUE(log.Contains("P1 AUDIO OUT: ERROR :CPCMOutput::Initialize(): cannot open audio device channel1 ("));
    EXPECT_FALSE(out.IsOpen());
    env.Set("VCARD_FAIL_OPEN", "");

    // The device grants another rate: -22 inside, -1 out, the handle stays open until closed.
    env.Set("VCARD_FORCE_RATE", "48000");
    EXPECT_EQ(out.SetAudioFormat(&cd), -1);
    EXPECT_TRUE(log.Contains("P1 AUDIO OUT: ERROR :CPCMOutput::set_hwparams(): Rate doesn't match "
                             "(requested 44100Hz, get 48000Hz)\n"));
    EXPECT_TRUE(log.Contains("P1 AUDIO OUT: ERROR :CPCMOutput::Initialize(): cannot set HW params ("));
    EXPECT_TRUE(out.IsOpen());
    EXPECT_EQ(out.DeInitialize(), 0);
    EXPECT_FALSE(out.IsOpen());
    env.Set("VCARD_FORCE_RATE", "");

    // 8-bit and 24-bit formats are still configured as 16-bit samples; a second Initialize
    // keeps the open device.
    for (const AudioInfo& odd : {Format(8, 22050, 1), Format(24, 48000, 2)}) {
        EXPECT_EQ(out.SetAudioFormat(&odd), 0);
        EXPECT_TRUE(out.IsOpen());
    }
    EXPECT_EQ(out.Initialize(), 0);
    EXPECT_TRUE(log.Contains("CPCMOutput::Initialize(): already initiliazed with audio interface channel1"));
    const auto opens = vcard::ReadEvents(env.Dir(), kDevice);
    size_t successful_opens = 0;
    for (const auto& e : opens)
        successful_opens += e.name == "open";
    EXPECT_EQ(successful_opens, 2u);  // 22050 and 48000; the forced-rate one never configured
    EXPECT_EQ(out.DeInitialize(), 0);
}

TEST(CPCMOutput, DrainStopAndStartKeepEveryFrame) {
    vcard::VCardTestEnv env("8");
    const vcard::Wav tone = vcard::MakeSine(44100, 2, 1.0, 440.0);
    {
        CPCMOutput out;
        out.SetDeviceName(kDevice);
        const AudioInfo cd = Format(16, 44100, 2);
        ASSERT_EQ(out.SetAudioFormat(&cd), 0);
        // Half the tone, a pause (drained, still open), then the rest.
        ASSERT_EQ(WriteTone(out, tone, 0, 22050), 22050);
        EXPECT_EQ(out.StopAudio(), 0);
        EXPECT_TRUE(out.IsOpen());
        EXPECT_EQ(out.StartAudio(), 0);
        ASSERT_EQ(WriteTone(out, tone, 22050), 22050);
        int64_t delay = -1;
        EXPECT_EQ(out.GetDelay(&delay), 0);
        EXPECT_GE(delay, 0);
        // Queued audio plays out before the device closes.
        EXPECT_EQ(out.DeInitWithDrain(), 0);
        EXPECT_FALSE(out.IsOpen());
    }
    vcard::Wav wav;
    ASSERT_EQ(vcard::ReadWav(env.WavPath(kDevice), &wav), 0);
    EXPECT_EQ(wav.rate, 44100u);
    EXPECT_EQ(wav.channels, 2u);
    EXPECT_EQ(wav.Frames(), 44100u);
    EXPECT_NEAR(vcard::DominantFrequency(wav, 1, 0, wav.Frames()), 440.0, 1.0);
    EXPECT_EQ(CountEvents(env.Dir(), kDevice, "drain"), 2u);
    EXPECT_EQ(CountEvents(env.Dir(), kDevice, "xrun"), 0u);
}

TEST(CPCMOutput, UnderrunIsRecoveredAndPlaybackGoesOn) {
    vcard::VCardTestEnv env("10");
    LogCapture log;
    const vcard::Wav tone = vcard::MakeSine(44100, 2, 1.0, 440.0);
    CPCMOutput out;
    out.SetDeviceName(kDevice);
    const AudioInfo cd = Format(16, 44100, 2);
    ASSERT_EQ(out.SetAudioFormat(&cd), 0);
    ASSERT_EQ(WriteTone(out, tone, 0, 8192), 8192);
    // The writer stalls far longer than the device holds (a tenth of a second of device time
    // at ten times real speed would do; wait a full second of device time).
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The next block meets the under-run: it is recovered and the block is still played.
    EXPECT_GT(WriteTone(out, tone, 8192), 0);
    EXPECT_EQ(out.DeInitWithDrain(), 0);
    EXPECT_GE(CountEvents(env.Dir(), kDevice, "xrun"), 1u);
    EXPECT_FALSE(log.Contains("ERROR"));
    vcard::Wav wav;
    ASSERT_EQ(vcard::ReadWav(env.WavPath(kDevice), &wav), 0);
    EXPECT_EQ(wav.Frames(), 44100u);  // nothing lost, only a gap
    EXPECT_NEAR(vcard::DominantFrequency(wav, 0, 8192, wav.Frames() - 8192), 440.0, 1.0);
}

TEST(CPCMOutput, FullDeviceInNonBlockingModeIsNotAnError) {
    vcard::VCardTestEnv env("4");
    env.Set("VCARD_STALL", "0:400");  // consumption stops right after the start
    const vcard::Wav tone = vcard::MakeSine(44100, 2, 1.0, 440.0);
    OutputWithHandle out;
    out.SetDeviceName(kDevice);
    const AudioInfo cd = Format(16, 44100, 2);
    ASSERT_EQ(out.SetAudioFormat(&cd), 0);
    ASSERT_EQ(snd_pcm_nonblock(out.handle(), 1), 0);
    // Keep writing the same block until the stalled device is full and answers -EAGAIN,
    // which the output reports as 0 frames written.
    int result = -1;
    for (int i = 0; i < 1000 && result != 0; ++i)
        result = out.WriteBuffer(reinterpret_cast<const uint8_t*>(tone.samples.data()), 1024, 0);
    EXPECT_EQ(result, 0);
    // StopAudio goes back to blocking mode and drains once the stall is over.
    EXPECT_EQ(out.StopAudio(), 0);
    EXPECT_EQ(snd_pcm_state(out.handle()), SND_PCM_STATE_SETUP);
    EXPECT_EQ(out.DeInitialize(), 0);
}

TEST(CPCMOutput, FailingCloseLetsGoOfTheHandle) {
    vcard::VCardTestEnv env("unpaced");
    env.Set("VCARD_FAIL_CLOSE", kDevice);
    LogCapture log;
    const vcard::Wav cd_tone = vcard::MakeSine(44100, 2, 0.2, 440.0);
    const vcard::Wav dat_tone = vcard::MakeSine(48000, 2, 0.2, 660.0);
    CPCMOutput out;
    out.SetDeviceName(kDevice);
    const AudioInfo cd = Format(16, 44100, 2);
    const AudioInfo dat = Format(16, 48000, 2);
    ASSERT_EQ(out.SetAudioFormat(&cd), 0);
    ASSERT_EQ(WriteTone(out, cd_tone), 8820);
    // alsa-lib freed the handle although the close failed: the format change opens anew
    // instead of draining the freed handle.
    EXPECT_EQ(out.SetAudioFormat(&dat), 0);
    EXPECT_TRUE(log.Contains("ERROR :CPCMOutput::DeInitWithDrain(): cannot close handle (No such device)"));
    ASSERT_TRUE(out.IsOpen());
    ASSERT_EQ(WriteTone(out, dat_tone), 9600);
    EXPECT_EQ(out.SetAudioFormat(&cd), 0);
    EXPECT_EQ(out.DeInitialize(), -ENODEV);
    EXPECT_FALSE(out.IsOpen());
    EXPECT_EQ(out.DeInitialize(), 0);
    EXPECT_EQ(CountEvents(env.Dir(), kDevice, "open"), 3u);
    EXPECT_EQ(CountEvents(env.Dir(), kDevice, "close"), 3u);
    vcard::Wav second;
    ASSERT_EQ(vcard::ReadWav(env.Dir() + "/" + kDevice + "-2.wav", &second), 0);
    EXPECT_EQ(second.rate, 48000u);
    EXPECT_EQ(second.Frames(), 9600u);
}

TEST(CPCMOutput, DeviceThatWentAwayIsOpenedAgainAndPlaysOn) {
    vcard::VCardTestEnv env("4");
    env.Set("VCARD_VANISH", std::string(kDevice) + ":400");  // 0.1 s of wall time
    LogCapture log;
    const vcard::Wav tone = vcard::MakeSine(48000, 2, 2.0, 440.0);
    CPCMOutput out;
    out.SetDeviceName(kDevice);
    int lost = 0;
    out.SetLostListener([&] { ++lost; });
    const AudioInfo dat = Format(16, 48000, 2);
    ASSERT_EQ(out.SetAudioFormat(&dat), 0);
    // The writes go on at the audio's own pace while the device is away, without errors
    // for each block; one report, and the device is looked for once a second.
    const auto start = std::chrono::steady_clock::now();
    int failures = 0;
    for (size_t done = 0; done < tone.Frames(); done += 1152) {
        const uint16_t n = static_cast<uint16_t>(std::min<size_t>(1152, tone.Frames() - done));
        failures += out.WriteBuffer(reinterpret_cast<const uint8_t*>(tone.samples.data() + done * 2), n, 0) < 0;
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(lost, 1);
    EXPECT_TRUE(out.IsDeviceLost());
    EXPECT_FALSE(out.IsOpen());
    EXPECT_GT(took, 1.0);  // two seconds of audio, most of them into nothing
    EXPECT_TRUE(log.Contains("went away, opening it again once a second."));
    // A new track's format while the device is away is kept for its return.
    const AudioInfo cd = Format(16, 44100, 2);
    EXPECT_EQ(out.SetAudioFormat(&cd), 0);
    EXPECT_FALSE(out.IsOpen());

    // Back: the next write after the retry interval opens it with that format.
    ASSERT_EQ(unlink((env.Dir() + "/" + kDevice + ".gone").c_str()), 0);
    const vcard::Wav cd_tone = vcard::MakeSine(44100, 2, 1.5, 660.0);
    EXPECT_GT(WriteTone(out, cd_tone), 22050);
    EXPECT_TRUE(out.IsOpen());
    EXPECT_FALSE(out.IsDeviceLost());
    EXPECT_TRUE(log.Contains("CPCMOutput::Initialize(): audio device channel1 is back."));
    EXPECT_EQ(out.DeInitWithDrain(), 0);
    vcard::Wav back;
    ASSERT_EQ(vcard::ReadWav(env.WavPath(kDevice), &back), 0);
    EXPECT_EQ(back.rate, 44100u);
    EXPECT_GT(back.Frames(), 22050u);  // at least the half second after the reopen
    EXPECT_NEAR(vcard::DominantFrequency(back, 0, 0, back.Frames()), 660.0, 2.0);
}
