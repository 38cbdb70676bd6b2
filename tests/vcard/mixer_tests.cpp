// The card's mixer through the simple-mixer API the volume control uses.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <memory>

#include "tests/support/vcard/VCardTestEnv.h"

namespace {

struct MixerCloser {
    void operator()(snd_mixer_t* m) const noexcept { snd_mixer_close(m); }
};
using Mixer = std::unique_ptr<snd_mixer_t, MixerCloser>;

Mixer OpenMixer()
{
    snd_mixer_t* raw = nullptr;
    if (snd_mixer_open(&raw, 0) < 0)
        return Mixer();
    Mixer m(raw);
    if (snd_mixer_attach(raw, "default") < 0 || snd_mixer_selem_register(raw, nullptr, nullptr) < 0 ||
        snd_mixer_load(raw) < 0)
        return Mixer();
    return m;
}

snd_mixer_elem_t* Find(snd_mixer_t* m, const char* name)
{
    snd_mixer_selem_id_t* id;
    snd_mixer_selem_id_alloca(&id);
    snd_mixer_selem_id_set_index(id, 0);
    snd_mixer_selem_id_set_name(id, name);
    return snd_mixer_find_selem(m, id);
}

TEST(VCardMixer, ElementsTakeVolumesAndDecibels)
{
    vcard::VCardTestEnv env;
    auto mixer = OpenMixer();
    ASSERT_TRUE(mixer);
    for (const char* name : {"chan_1", "chan_2", "chan_3", "chan_4", "Playback"}) {
        snd_mixer_elem_t* e = Find(mixer.get(), name);
        ASSERT_NE(nullptr, e) << name;
        long min = -1, max = -1, db_min = 1, db_max = 1;
        ASSERT_EQ(0, snd_mixer_selem_get_playback_volume_range(e, &min, &max));
        EXPECT_EQ(0, min);
        EXPECT_EQ(255, max);
        ASSERT_EQ(0, snd_mixer_selem_get_playback_dB_range(e, &db_min, &db_max)) << name;
        EXPECT_EQ(-12000, db_min);
        EXPECT_EQ(0, db_max);
    }
    snd_mixer_elem_t* chan2 = Find(mixer.get(), "chan_2");
    long value = -1, db = 1;
    // whole decibels land within one step (120 dB / 255) and read back the same way
    for (long want_db : {-20L, -120L, 0L, -57L}) {
        ASSERT_EQ(0, snd_mixer_selem_set_playback_dB_all(chan2, want_db * 100, 0));
        ASSERT_EQ(0, snd_mixer_selem_get_playback_dB(chan2, SND_MIXER_SCHN_MONO, &db));
        EXPECT_NEAR(want_db * 100, db, 48) << want_db;
        ASSERT_EQ(0, snd_mixer_selem_get_playback_volume(chan2, SND_MIXER_SCHN_MONO, &value));
        long stored = -1;
        ASSERT_EQ(0, vcard::ReadMixer(env.Dir(), "chan_2", &stored));
        EXPECT_EQ(value, stored);
    }
    // raw values as the volume control writes them (percent * 255 / 100)
    ASSERT_EQ(0, snd_mixer_selem_set_playback_volume_all(chan2, 127));
    ASSERT_EQ(0, snd_mixer_selem_get_playback_dB(chan2, SND_MIXER_SCHN_MONO, &db));
    EXPECT_NEAR(-6024, db, 2);
    // the other elements kept their values
    long chan1 = -1;
    ASSERT_EQ(0, vcard::ReadMixer(env.Dir(), "chan_1", &chan1));
    EXPECT_EQ(255, chan1);
}

TEST(VCardMixer, StateIsSharedThroughTheStateFile)
{
    vcard::VCardTestEnv env;
    ASSERT_EQ(0, vcard::WriteMixer(env.Dir(), "chan_3", 100));
    ASSERT_EQ(0, vcard::WriteMixer(env.Dir(), "Playback", 7));
    EXPECT_EQ(-EINVAL, vcard::WriteMixer(env.Dir(), "chan_9", 7));
    {
        auto mixer = OpenMixer();
        ASSERT_TRUE(mixer);
        long value = -1;
        ASSERT_EQ(0, snd_mixer_selem_get_playback_volume(Find(mixer.get(), "chan_3"),
                                                          SND_MIXER_SCHN_MONO, &value));
        EXPECT_EQ(100, value);
        ASSERT_EQ(0, snd_mixer_selem_get_playback_volume(Find(mixer.get(), "Playback"),
                                                          SND_MIXER_SCHN_MONO, &value));
        EXPECT_EQ(7, value);
        ASSERT_EQ(0, snd_mixer_selem_set_playback_volume_all(Find(mixer.get(), "chan_4"), 33));
    }
    // a second handle (as another process would) sees the value written by the first
    auto again = OpenMixer();
    ASSERT_TRUE(again);
    long value = -1;
    ASSERT_EQ(0, snd_mixer_selem_get_playback_volume(Find(again.get(), "chan_4"),
                                                      SND_MIXER_SCHN_MONO, &value));
    EXPECT_EQ(33, value);
    // a damaged state file falls back to defaults instead of failing
    FILE* f = fopen((env.Dir() + "/mixer.state").c_str(), "w");
    ASSERT_NE(nullptr, f);
    fputs("chan_1 999\ngarbage\nchan_2 -4\nchan_3 12\n", f);
    fclose(f);
    long v1 = -1, v2 = -1, v3 = -1;
    EXPECT_EQ(0, vcard::ReadMixer(env.Dir(), "chan_1", &v1));
    EXPECT_EQ(0, vcard::ReadMixer(env.Dir(), "chan_2", &v2));
    EXPECT_EQ(0, vcard::ReadMixer(env.Dir(), "chan_3", &v3));
    EXPECT_EQ(255, v1);
    EXPECT_EQ(255, v2);
    EXPECT_EQ(12, v3);
}

TEST(VCardMixer, CardWithoutMixerElements)
{
    vcard::VCardTestEnv env;
    env.Set("VCARD_NO_MIXER", "1");
    auto mixer = OpenMixer();
    ASSERT_TRUE(mixer); // the card is there, its elements are not
    EXPECT_EQ(nullptr, Find(mixer.get(), "chan_1"));
    EXPECT_EQ(nullptr, Find(mixer.get(), "Playback"));
}

TEST(VCardMixer, SoftvolElementsAppearOnceTheirPcmWasOpened)
{
    vcard::VCardTestEnv env("unpaced");
    env.Set("VCARD_SOFTVOL", "1");
    long value = -1;
    {
        auto mixer = OpenMixer();
        ASSERT_TRUE(mixer); // a fresh mixer state: the card has no element yet
        for (const char* name : {"chan_1", "chan_2", "chan_3", "chan_4", "Playback"})
            EXPECT_EQ(nullptr, Find(mixer.get(), name)) << name;
        EXPECT_EQ(-ENOENT, vcard::ReadMixer(env.Dir(), "chan_1", &value));
    }
    auto open_pcm = [](const char* name) {
        snd_pcm_t* raw = nullptr;
        ASSERT_EQ(0, snd_pcm_open(&raw, name, SND_PCM_STREAM_PLAYBACK, 0)) << name;
        snd_pcm_close(raw);
    };
    open_pcm("channel2");
    open_pcm("plug:dmix"); // dmix has no softvol control
    {
        auto mixer = OpenMixer();
        ASSERT_TRUE(mixer);
        snd_mixer_elem_t* chan2 = Find(mixer.get(), "chan_2");
        ASSERT_NE(nullptr, chan2);
        ASSERT_EQ(0, snd_mixer_selem_get_playback_volume(chan2, SND_MIXER_SCHN_MONO, &value));
        EXPECT_EQ(255, value); // a new control starts at full volume
        EXPECT_EQ(nullptr, Find(mixer.get(), "chan_1"));
        EXPECT_EQ(nullptr, Find(mixer.get(), "Playback"));
        ASSERT_EQ(0, snd_mixer_selem_set_playback_volume_all(chan2, 40));
    }
    // every change is in the event log too
    const auto sets = vcard::ReadEvents(env.Dir(), "mixer");
    ASSERT_EQ(1u, sets.size());
    EXPECT_EQ("set", sets[0].name);
    EXPECT_EQ("chan_2", sets[0].fields.at("element"));
    EXPECT_EQ(40, sets[0].Field("value"));
    // a later open keeps the value; "default" makes "Playback"; a saved state restores
    open_pcm("channel2");
    open_pcm("default");
    ASSERT_EQ(0, vcard::WriteMixer(env.Dir(), "chan_4", 99));
    auto mixer = OpenMixer();
    ASSERT_TRUE(mixer);
    EXPECT_EQ(0, vcard::ReadMixer(env.Dir(), "chan_2", &value));
    EXPECT_EQ(40, value);
    EXPECT_NE(nullptr, Find(mixer.get(), "Playback"));
    ASSERT_NE(nullptr, Find(mixer.get(), "chan_4"));
    EXPECT_EQ(nullptr, Find(mixer.get(), "chan_3"));
    ASSERT_EQ(0, snd_mixer_selem_get_playback_volume(Find(mixer.get(), "chan_4"),
                                                      SND_MIXER_SCHN_MONO, &value));
    EXPECT_EQ(99, value);
    // the normal card has every element at once, whatever the state file lists
    env.Set("VCARD_SOFTVOL", "");
    auto plain = OpenMixer();
    ASSERT_TRUE(plain);
    EXPECT_NE(nullptr, Find(plain.get(), "chan_3"));
}

} // namespace
