#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "player/volume/CVolumeControlAdapter.h"
#include "tests/support/log/LogCapture.h"
#include "tests/support/vcard/VCardTestEnv.h"
#include "utils/CLogger.h"

namespace {

long MixerValue(const vcard::VCardTestEnv& env, const char* element) {
    long value = -1;
    EXPECT_EQ(vcard::ReadMixer(env.Dir(), element, &value), 0);
    return value;
}

}  // namespace

TEST(CVolumeConvertion, CurveFollowsTheTableAndTheSegments) {
    const CVolumeConvertion c;
    const std::pair<int, int> to_db[] = {{0, -12000}, {1, -10850}, {9, -6100}, {10, -5900},
                                         {15, -4900}, {16, -4704}, {24, -3728}, {25, -3600},
                                         {49, -1824}, {50, -1750}, {100, 50},   {150, 50},
                                         {-5, -12000}, {65541, 50}};
    for (const auto& [percent, level] : to_db)
        EXPECT_EQ(c.PercentToDb(percent), level) << percent << " %";
    const std::pair<int, int> to_percent[] = {{60, 100},    {51, 100},    {50, 100},  {0, 98},
                                              {-1750, 50},  {-1800, 48},  {-3600, 25}, {-4800, 15},
                                              {-5900, 10},  {-6000, 9},   {-6100, 9},  {-6101, 8},
                                              {-12000, 0},  {-13000, 0}};
    for (const auto& [level, percent] : to_percent)
        EXPECT_EQ(c.DbToPercent(level), percent) << level << " / 100 dB";
    // Every percent survives the round trip, and the curve never falls.
    for (int p = 0; p <= 100; ++p) {
        EXPECT_EQ(c.DbToPercent(c.PercentToDb(p)), p) << p << " %";
        if (p > 0) {
            EXPECT_GT(c.PercentToDb(p), c.PercentToDb(p - 1)) << p << " %";
        }
    }
}

TEST(CVolumeControlAdapter, PercentAndDecibelsReachTheCardMixer) {
    vcard::VCardTestEnv env;
    LogCapture log;
    CVolumeControlAdapter volume;
    volume.set_player_prefix("P1");
    volume.set_player_id(1);
    EXPECT_STREQ(volume.GetElementName(), "Playback");
    volume.SetElementName("chan_1");
    ASSERT_EQ(volume.OpenMixer(), 0);
    ASSERT_TRUE(volume.HasElement());

    EXPECT_EQ(volume.SetOutputVolume(100), 0);
    EXPECT_EQ(MixerValue(env, "chan_1"), 255);
    EXPECT_TRUE(log.Contains("P1 VOLUME CONTROL:  Setting volume 100% went OK.\n"));
    EXPECT_EQ(volume.SetOutputVolume(50), 0);
    EXPECT_EQ(MixerValue(env, "chan_1"), 127);  // integer division on purpose
    EXPECT_EQ(volume.GetVolume(), 50);
    EXPECT_EQ(volume.GetLevel(), -1750);

    // Out of range: refused without touching the mixer or the remembered volume.
    for (int bad : {101, -1}) {
        EXPECT_EQ(volume.SetOutputVolume(bad), -1);
        EXPECT_EQ(MixerValue(env, "chan_1"), 127);
        EXPECT_EQ(volume.GetVolume(), 50);
    }
    EXPECT_TRUE(log.Contains("P1 VOLUME CONTROL: ERROR :CPCMOutput::SetOutputVolume(): Volume value "
                             "101 is out of range, value in [0..100 %] required. \n"));

    // -60 dB is half way on the card's -120..0 dB scale; the table puts it at 9 %.
    EXPECT_EQ(volume.SetOutputVolume_db(-60), 0);
    EXPECT_EQ(volume.GetVolume(), 9);
    EXPECT_EQ(volume.GetLevel(), -60);
    const long raw = MixerValue(env, "chan_1");
    EXPECT_GE(raw, 127);
    EXPECT_LE(raw, 128);
    EXPECT_TRUE(log.Contains("P1 VOLUME CONTROL:  id=1, CPCMOutput::SetOutputVolume_db(): Setting "
                             "volume -60 in dB went OK.\n"));
    EXPECT_EQ(volume.SetOutputVolume_db(0), 0);
    EXPECT_EQ(MixerValue(env, "chan_1"), 255);
    for (int bad : {1, -121}) {
        EXPECT_EQ(volume.SetOutputVolume_db(bad), -1);
        EXPECT_EQ(volume.GetLevel(), 0);
    }
    // Other elements are not touched.
    EXPECT_EQ(volume.SetOutputVolume(0), 0);
    EXPECT_EQ(MixerValue(env, "chan_1"), 0);
    EXPECT_NE(MixerValue(env, "chan_2"), 0);

    EXPECT_EQ(volume.CloseMixer(), 0);
    EXPECT_FALSE(volume.HasElement());
    EXPECT_EQ(volume.SetOutputVolume(30), -1);
    EXPECT_EQ(volume.CloseMixer(), 0);
    EXPECT_TRUE(log.Contains("P1 VOLUME CONTROL: CPCMOutput::CloseMixer(): No active mixer handle found. \n"));

    // Reopening after close works, and the default element is "Playback".
    CVolumeControlAdapter master;
    ASSERT_EQ(master.OpenMixer(), 0);
    ASSERT_EQ(master.OpenMixer(), 0);  // a second open replaces the first handle
    EXPECT_EQ(master.SetOutputVolume(100), 0);
    EXPECT_EQ(MixerValue(env, "Playback"), 255);
}

TEST(CVolumeControlAdapter, CardWithoutTheElementOpensButRefusesVolume) {
    for (const bool whole_mixer_missing : {false, true}) {
        SCOPED_TRACE(whole_mixer_missing ? "card without mixer" : "unknown element");
        vcard::VCardTestEnv env;
        if (whole_mixer_missing)
            env.Set("VCARD_NO_MIXER", "1");
        LogCapture log;
        CVolumeControlAdapter volume;
        volume.set_player_prefix("P3");
        volume.SetElementName(whole_mixer_missing ? "chan_3" : "chan_9");
        ASSERT_EQ(volume.OpenMixer(), 0);
        EXPECT_FALSE(volume.HasElement());
        EXPECT_EQ(volume.SetOutputVolume(40), -1);
        EXPECT_EQ(volume.SetOutputVolume_db(-20), -1);
        EXPECT_EQ(volume.GetVolume(), 0);
        EXPECT_EQ(volume.GetLevel(), 0);
        const std::string name = volume.GetElementName();
        EXPECT_TRUE(log.Contains("P3 VOLUME CONTROL: ERROR :SetOutputVolume(): Could not find the "
                                 "mixer simple element: " + name + " "));
        EXPECT_TRUE(log.Contains("P3 VOLUME CONTROL: ERROR :CPCMOutput::SetOutputVolume_db(): Could "
                                 "not find the mixer simple element: '" + name + "'\n"));
        EXPECT_EQ(volume.CloseMixer(), 0);
    }
}

// A softvol control appears only once its PCM was opened: the volume control looks the
// element up again at each setting while it is missing, and after the device opened
// applies what it could not set before.
TEST(CVolumeControlAdapter, SoftvolElementThatAppearsLateTakesTheVolume) {
    vcard::VCardTestEnv env("unpaced");
    env.Set("VCARD_SOFTVOL", "1");
    auto open_pcm = [](const char* name) {
        snd_pcm_t* pcm = nullptr;
        ASSERT_EQ(snd_pcm_open(&pcm, name, SND_PCM_STREAM_PLAYBACK, 0), 0) << name;
        snd_pcm_close(pcm);
    };
    CVolumeControlAdapter volume;
    volume.SetElementName("chan_1");
    ASSERT_EQ(volume.OpenMixer(), 0);
    EXPECT_FALSE(volume.HasElement());
    EXPECT_EQ(volume.SetOutputVolume(40), -1);
    EXPECT_EQ(volume.FindMissingElement(), -1);
    open_pcm("channel1");
    EXPECT_EQ(volume.SetOutputVolume(50), 0);  // found at the next setting
    EXPECT_TRUE(volume.HasElement());
    EXPECT_EQ(MixerValue(env, "chan_1"), 127);
    EXPECT_EQ(volume.FindMissingElement(), 0);
    EXPECT_EQ(volume.CloseMixer(), 0);

    // The last setting that failed is applied once the element is found (percent or dB).
    volume.SetElementName("chan_2");
    ASSERT_EQ(volume.OpenMixer(), 0);
    EXPECT_EQ(volume.SetOutputVolume(30), -1);
    EXPECT_EQ(volume.SetOutputVolume_db(-20), -1);
    open_pcm("channel2");
    EXPECT_EQ(MixerValue(env, "chan_2"), 255);  // a new control starts at full volume
    EXPECT_EQ(volume.FindMissingElement(), 1);
    long db_value = -1;
    ASSERT_EQ(vcard::ReadMixer(env.Dir(), "chan_2", &db_value), 0);
    EXPECT_NEAR(db_value, 255 - 20 * 255 / 120, 2);
    EXPECT_EQ(volume.GetLevel(), -20);
    EXPECT_EQ(volume.CloseMixer(), 0);
    // Closed: nothing is looked up or remembered any more.
    EXPECT_EQ(volume.FindMissingElement(), -1);
}
