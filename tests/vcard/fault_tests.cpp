// The card's fault switches, which drive the outputs' failure paths.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "VCardPcmHelpers.h"

using vcardtest::OpenPcm;
using vcardtest::PcmSetup;
using vcardtest::WriteAll;

namespace {

bool HasEvent(const std::string& dir, const std::string& pcm, const std::string& name)
{
    for (const auto& e : vcard::ReadEvents(dir, pcm))
        if (e.name == name)
            return true;
    return false;
}

TEST(VCardFaults, RefusesToOpenTheNamedDevices)
{
    vcard::VCardTestEnv env("unpaced");
    env.Set("VCARD_FAIL_OPEN", "channel2,dmix");
    snd_pcm_t* raw = nullptr;
    EXPECT_EQ(-ENODEV, snd_pcm_open(&raw, "channel2", SND_PCM_STREAM_PLAYBACK, 0));
    EXPECT_EQ(-ENODEV, snd_pcm_open(&raw, "plug:dmix", SND_PCM_STREAM_PLAYBACK, 0));
    EXPECT_TRUE(HasEvent(env.Dir(), "channel2", "open-refused"));
    EXPECT_TRUE(OpenPcm("channel1", PcmSetup()));
    env.Set("VCARD_FAIL_OPEN", "*");
    EXPECT_EQ(-ENODEV, snd_pcm_open(&raw, "channel1", SND_PCM_STREAM_PLAYBACK, 0));
    env.Set("VCARD_FAIL_OPEN", "");
    EXPECT_TRUE(OpenPcm("channel2", PcmSetup()));
}

TEST(VCardFaults, GrantsAnotherRateThanAskedFor)
{
    vcard::VCardTestEnv env("unpaced");
    env.Set("VCARD_FORCE_RATE", "44100");
    snd_pcm_t* raw = nullptr;
    ASSERT_EQ(0, snd_pcm_open(&raw, "channel1", SND_PCM_STREAM_PLAYBACK, 0));
    vcardtest::Pcm pcm(raw);
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    ASSERT_GE(snd_pcm_hw_params_any(raw, hw), 0);
    unsigned rate = 48000;
    ASSERT_EQ(0, snd_pcm_hw_params_set_rate_near(raw, hw, &rate, nullptr));
    EXPECT_EQ(44100u, rate);
    pcm.reset();

    // through plug the application keeps its rate and the device records the forced one
    const vcard::Wav tone = vcard::MakeSine(48000, 2, 0.2, 1000.0);
    auto plug = OpenPcm("plug:dmix", PcmSetup());
    ASSERT_TRUE(plug);
    ASSERT_EQ(0, WriteAll(plug.get(), tone));
    ASSERT_EQ(0, snd_pcm_drain(plug.get()));
    plug.reset();
    vcard::Wav heard;
    ASSERT_EQ(0, vcard::ReadWav(env.WavPath("dmix"), &heard));
    EXPECT_EQ(44100u, heard.rate);
    EXPECT_NEAR(1000.0, vcard::DominantFrequency(heard, 0, 500, 8000), 3.0);
}

TEST(VCardFaults, StartFailsOnTheNamedDevices)
{
    vcard::VCardTestEnv env("4");
    env.Set("VCARD_FAIL_START", "channel3");
    const vcard::Wav tone = vcard::MakeSine(48000, 2, 0.5, 440.0);
    PcmSetup setup;
    setup.start_threshold = 4096;
    auto pcm = OpenPcm("channel3", setup);
    ASSERT_TRUE(pcm);
    ASSERT_EQ(0, WriteAll(pcm.get(), tone, 0, 1000));
    EXPECT_EQ(-EIO, snd_pcm_start(pcm.get()));
    EXPECT_NE(SND_PCM_STATE_RUNNING, snd_pcm_state(pcm.get()));
    // the automatic start at the threshold fails the same way
    EXPECT_LT(WriteAll(pcm.get(), tone, 1000, 4000), 0);
    EXPECT_TRUE(HasEvent(env.Dir(), "channel3", "start-failed"));

    auto other = OpenPcm("channel4", setup);
    ASSERT_TRUE(other);
    ASSERT_EQ(0, WriteAll(other.get(), tone, 0, 1000));
    EXPECT_EQ(0, snd_pcm_start(other.get()));
}

TEST(VCardFaults, StallStopsConsumptionForAWhile)
{
    vcard::VCardTestEnv env("1");
    // stalls 100 ms after the start, for 700 ms
    env.Set("VCARD_STALL", "100:700");
    PcmSetup setup;
    setup.start_threshold = 4096;
    auto pcm = OpenPcm("channel1", setup);
    ASSERT_TRUE(pcm);
    const vcard::Wav tone = vcard::MakeSine(48000, 2, 1.0, 440.0);
    ASSERT_EQ(0, WriteAll(pcm.get(), tone, 0, 16384));
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    snd_pcm_sframes_t first = 0, second = 0;
    ASSERT_EQ(0, snd_pcm_delay(pcm.get(), &first));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(0, snd_pcm_delay(pcm.get(), &second));
    const double sampled_until = vcardtest::Since(start);
    if (sampled_until < 0.75) { // both reads fell inside the stall
        EXPECT_EQ(16384 - 4800, first);
        EXPECT_EQ(first, second);
    }
    // no under-run during the stall, and playing out takes the stall's length longer
    ASSERT_EQ(0, snd_pcm_drain(pcm.get()));
    EXPECT_GE(vcardtest::Since(start), 16384.0 / 48000.0 + 0.7 - 0.05);
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(VCardFaults, FailingCloseStillFreesTheHandle)
{
    vcard::VCardTestEnv env("unpaced");
    env.Set("VCARD_FAIL_CLOSE", "channel1,dmix");
    const vcard::Wav tone = vcard::MakeSine(48000, 2, 0.1, 440.0);
    for (const char* name : {"channel1", "plug:dmix"}) {
        auto pcm = OpenPcm(name, PcmSetup());
        ASSERT_TRUE(pcm) << name;
        ASSERT_EQ(0, WriteAll(pcm.get(), tone));
        // alsa-lib frees the handle whatever close returns; a leak checker sees the rest
        EXPECT_EQ(-ENODEV, snd_pcm_close(pcm.release())) << name;
    }
    EXPECT_EQ(2, [&] {
        int n = 0;
        for (const auto& e : vcard::ReadEvents(env.Dir()))
            n += e.name == "close" && e.Field("failed", 0) == 1;
        return n;
    }());
    auto other = OpenPcm("channel2", PcmSetup());
    ASSERT_TRUE(other);
    EXPECT_EQ(0, snd_pcm_close(other.release()));
    env.Set("VCARD_FAIL_CLOSE", "*");
    auto any = OpenPcm("channel3", PcmSetup());
    ASSERT_TRUE(any);
    EXPECT_EQ(-ENODEV, snd_pcm_close(any.release()));
}

TEST(VCardFaults, VanishedDeviceFailsUntilItComesBack)
{
    vcard::VCardTestEnv env("4");
    // 400 ms of device time after the first start: 0.1 s of wall time at speed 4
    env.Set("VCARD_VANISH", "dmix:50,channel1:400");
    const vcard::Wav tone = vcard::MakeSine(48000, 2, 2.0, 440.0);
    auto pcm = OpenPcm("channel1", PcmSetup());
    ASSERT_TRUE(pcm);
    const auto start = std::chrono::steady_clock::now();
    // a blocked writer wakes up with the error instead of waiting for room for ever
    EXPECT_EQ(-ENODEV, WriteAll(pcm.get(), tone));
    EXPECT_LT(vcardtest::Since(start), 1.0);
    EXPECT_EQ(SND_PCM_STATE_DISCONNECTED, snd_pcm_state(pcm.get()));
    snd_pcm_sframes_t delay = 0;
    EXPECT_EQ(-ENODEV, snd_pcm_delay(pcm.get(), &delay));
    EXPECT_EQ(-ENODEV, snd_pcm_prepare(pcm.get()));
    EXPECT_EQ(-ENODEV, snd_pcm_drain(pcm.get()));
    EXPECT_EQ(-ENODEV, snd_pcm_wait(pcm.get(), 100));
    EXPECT_TRUE(Exists(env.Dir() + "/channel1.gone"));
    // what played before it went away is recorded: 400 ms, give or take a period
    vcard::Wav heard;
    ASSERT_EQ(0, vcard::ReadWav(env.WavPath("channel1"), &heard));
    EXPECT_NEAR(19200.0, double(heard.Frames()), 2048.0);
    EXPECT_TRUE(HasEvent(env.Dir(), "channel1", "vanish"));

    // gone for every opener until the flag file is removed; other devices still play
    int err = 0;
    EXPECT_FALSE(OpenPcm("channel1", PcmSetup(), &err));
    EXPECT_EQ(-ENODEV, err);
    auto other = OpenPcm("channel2", PcmSetup());
    ASSERT_TRUE(other);
    ASSERT_EQ(0, WriteAll(other.get(), tone, 0, 9600));
    EXPECT_EQ(0, snd_pcm_close(pcm.release())); // closing a gone device works
    ASSERT_EQ(0, unlink((env.Dir() + "/channel1.gone").c_str()));

    // back for good: the same switch does not take it away a second time
    pcm = OpenPcm("channel1", PcmSetup());
    ASSERT_TRUE(pcm);
    ASSERT_EQ(0, WriteAll(pcm.get(), tone));
    ASSERT_EQ(0, snd_pcm_drain(pcm.get()));
    EXPECT_FALSE(Exists(env.Dir() + "/channel1.gone"));

    // through plug, and waiting without writing: the recorder notices the time
    auto plug = OpenPcm("plug:dmix", PcmSetup());
    ASSERT_TRUE(plug);
    ASSERT_EQ(0, WriteAll(plug.get(), tone, 0, 9600));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(Exists(env.Dir() + "/dmix.gone"));
    EXPECT_EQ(-ENODEV, WriteAll(plug.get(), tone, 0, 1024));
}

} // namespace
