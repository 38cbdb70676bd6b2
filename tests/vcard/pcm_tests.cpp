// The virtual card seen through alsa-lib, the way the player's outputs use it.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <sstream>
#include <thread>

#include "VCardPcmHelpers.h"

using vcardtest::OpenPcm;
using vcardtest::PcmSetup;
using vcardtest::Since;
using vcardtest::WriteAll;
using Clock = std::chrono::steady_clock;

namespace {

snd_pcm_uframes_t BufferSize(snd_pcm_t* pcm)
{
    snd_pcm_uframes_t buffer = 0, period = 0;
    snd_pcm_get_params(pcm, &buffer, &period);
    return buffer;
}

size_t CountEvents(const std::vector<vcard::Event>& events, const std::string& name)
{
    size_t n = 0;
    for (const auto& e : events)
        n += e.name == name;
    return n;
}

TEST(VCardPcm, RecordsExactlyWhatWasWrittenInBothAccessModes)
{
    vcard::VCardTestEnv env("unpaced");
    const vcard::Wav tone = vcard::MakeSine(44100, 2, 0.5, 1000.0);
    for (const auto access : {SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_ACCESS_MMAP_INTERLEAVED}) {
        const char* name = access == SND_PCM_ACCESS_RW_INTERLEAVED ? "channel1" : "channel2";
        PcmSetup setup;
        setup.rate = 44100;
        setup.access = access;
        auto pcm = OpenPcm(name, setup);
        ASSERT_TRUE(pcm) << name;
        // the recording is a valid file while the device is still open
        ASSERT_EQ(0, WriteAll(pcm.get(), tone, 0, 10000));
        ASSERT_GE(snd_pcm_avail(pcm.get()), 0);
        vcard::Wav partial;
        ASSERT_EQ(0, vcard::ReadWav(env.WavPath(name), &partial));
        ASSERT_EQ(10000u, partial.Frames()) << name;
        EXPECT_TRUE(std::equal(partial.samples.begin(), partial.samples.end(), tone.samples.begin()));

        ASSERT_EQ(0, WriteAll(pcm.get(), tone, 10000));
        ASSERT_EQ(0, snd_pcm_drain(pcm.get()));
        pcm.reset();
        vcard::Wav heard;
        ASSERT_EQ(0, vcard::ReadWav(env.WavPath(name), &heard));
        EXPECT_EQ(44100u, heard.rate);
        EXPECT_EQ(2u, heard.channels);
        EXPECT_EQ(tone.samples, heard.samples) << name;
        const auto events = vcard::ReadEvents(env.Dir(), name);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ("open", events.front().name);
        EXPECT_EQ(44100, events.front().Field("rate"));
        EXPECT_EQ(2, events.front().Field("channels"));
        EXPECT_EQ("close", events.back().name);
    }
}

TEST(VCardPcm, RecordingsFollowFormatChangesAndTheFolder)
{
    vcard::VCardTestEnv env("unpaced");
    const vcard::Wav a = vcard::MakeSine(48000, 2, 0.1, 500.0);
    const vcard::Wav b = vcard::MakeSine(48000, 2, 0.1, 2000.0);
    const vcard::Wav mono = vcard::MakeSine(22050, 1, 0.1, 700.0);
    for (const auto* part : {&a, &b, &mono}) {
        PcmSetup setup;
        setup.rate = part->rate;
        setup.channels = part->channels;
        auto pcm = OpenPcm("channel3", setup);
        ASSERT_TRUE(pcm);
        ASSERT_EQ(0, WriteAll(pcm.get(), *part));
        ASSERT_EQ(0, snd_pcm_drain(pcm.get()));
    }
    vcard::Wav first, last;
    ASSERT_EQ(0, vcard::ReadWav(env.Dir() + "/channel3-1.wav", &first));
    ASSERT_EQ(0, vcard::ReadWav(env.WavPath("channel3"), &last));
    EXPECT_EQ(a.Frames() + b.Frames(), first.Frames());
    EXPECT_NEAR(500.0, vcard::DominantFrequency(first, 0, 0, a.Frames()), 5.0);
    EXPECT_NEAR(2000.0, vcard::DominantFrequency(first, 1, a.Frames(), b.Frames()), 10.0);
    EXPECT_EQ(mono.samples, last.samples);
    EXPECT_EQ(22050u, last.rate);

    // a folder that does not exist yet is created with its parents
    const std::string nested = env.Dir() + "/new/folder";
    env.Set("VCARD_DIR", nested);
    {
        auto pcm = OpenPcm("channel3", PcmSetup());
        ASSERT_TRUE(pcm);
        ASSERT_EQ(0, WriteAll(pcm.get(), a));
        ASSERT_EQ(0, snd_pcm_drain(pcm.get()));
    }
    vcard::Wav moved;
    ASSERT_EQ(0, vcard::ReadWav(nested + "/channel3.wav", &moved));
    EXPECT_EQ(a.samples, moved.samples);
}

TEST(VCardPcm, PacesPlaybackByItsClock)
{
    const vcard::Wav tone = vcard::MakeSine(48000, 2, 2.0, 440.0);
    struct Case {
        const char* speed;
        double min_s, max_s;
    };
    // generous bounds: they tell real time from four times faster from instant
    for (const Case c : {Case{"1", 1.9, 3.0}, Case{"4", 0.45, 1.2}, Case{"unpaced", 0.0, 0.4}}) {
        vcard::VCardTestEnv env(c.speed);
        PcmSetup setup;
        setup.start_threshold = 4096;
        auto pcm = OpenPcm("channel1", setup);
        ASSERT_TRUE(pcm);
        const auto start = Clock::now();
        ASSERT_EQ(0, WriteAll(pcm.get(), tone));
        ASSERT_EQ(0, snd_pcm_drain(pcm.get()));
        const double took = Since(start);
        EXPECT_GE(took, c.min_s) << "speed " << c.speed;
        EXPECT_LE(took, c.max_s) << "speed " << c.speed;
        pcm.reset();
        vcard::Wav heard;
        ASSERT_EQ(0, vcard::ReadWav(env.WavPath("channel1"), &heard));
        EXPECT_EQ(tone.Frames(), heard.Frames());
    }
}

TEST(VCardPcm, StartThresholdDelayAndAvailFollowThePointer)
{
    vcard::VCardTestEnv env("1");
    PcmSetup setup;
    setup.start_threshold = 4096;
    auto pcm = OpenPcm("channel1", setup);
    ASSERT_TRUE(pcm);
    snd_pcm_t* h = pcm.get();
    const snd_pcm_uframes_t buffer = BufferSize(h);
    ASSERT_GT(buffer, 4096u);
    const vcard::Wav tone = vcard::MakeSine(48000, 2, 2.0, 440.0);

    ASSERT_EQ(0, WriteAll(h, tone, 0, 4000));
    EXPECT_EQ(SND_PCM_STATE_PREPARED, snd_pcm_state(h));
    snd_pcm_sframes_t delay = -1;
    ASSERT_EQ(0, snd_pcm_delay(h, &delay));
    EXPECT_EQ(4000, delay);
    EXPECT_EQ(snd_pcm_sframes_t(buffer - 4000), snd_pcm_avail(h));

    ASSERT_EQ(0, WriteAll(h, tone, 4000, buffer - 4000));
    EXPECT_EQ(SND_PCM_STATE_RUNNING, snd_pcm_state(h));
    snd_pcm_sframes_t last_delay = snd_pcm_sframes_t(buffer);
    const auto start = Clock::now();
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        const snd_pcm_sframes_t avail = snd_pcm_avail(h);
        ASSERT_EQ(0, snd_pcm_delay(h, &delay));
        ASSERT_GE(avail, 0);
        // two reads of a moving pointer: delay, read second, may have shrunk a little more
        EXPECT_LE(avail + delay, snd_pcm_sframes_t(buffer));
        EXPECT_GE(avail + delay, snd_pcm_sframes_t(buffer) - 480);
        EXPECT_LT(delay, last_delay);
        last_delay = delay;
    }
    const double played = double(buffer - snd_pcm_uframes_t(last_delay)) / 48000.0;
    EXPECT_NEAR(Since(start), played, 0.1);
}

TEST(VCardPcm, PeriodPointerMovesInWholePeriods)
{
    vcard::VCardTestEnv env("1");
    env.Set("VCARD_POINTER", "period");
    PcmSetup setup;
    setup.start_threshold = 4096;
    auto pcm = OpenPcm("channel1", setup);
    ASSERT_TRUE(pcm);
    snd_pcm_uframes_t buffer = 0, period = 0;
    ASSERT_EQ(0, snd_pcm_get_params(pcm.get(), &buffer, &period));
    const vcard::Wav tone = vcard::MakeSine(48000, 2, 2.0, 440.0);
    ASSERT_EQ(0, WriteAll(pcm.get(), tone, 0, buffer));
    snd_pcm_sframes_t moved = 0;
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(7));
        const snd_pcm_sframes_t avail = snd_pcm_avail(pcm.get());
        snd_pcm_sframes_t delay = 0;
        ASSERT_EQ(0, snd_pcm_delay(pcm.get(), &delay));
        EXPECT_EQ(0, avail % snd_pcm_sframes_t(period)) << avail;
        EXPECT_EQ(0, delay % snd_pcm_sframes_t(period)) << delay;
        moved = snd_pcm_sframes_t(buffer) - delay;
    }
    EXPECT_GT(moved, 0);
    ASSERT_EQ(0, snd_pcm_drop(pcm.get()));
}

TEST(VCardPcm, ExplicitStartAsTheBufferedOutputDoes)
{
    vcard::VCardTestEnv env("4");
    PcmSetup setup;
    setup.start_threshold = INT_MAX;
    auto pcm = OpenPcm("plug:dmix", setup);
    ASSERT_TRUE(pcm);
    const snd_pcm_uframes_t buffer = BufferSize(pcm.get());
    const vcard::Wav tone = vcard::MakeSine(48000, 2, 2.0, 440.0);
    ASSERT_EQ(0, WriteAll(pcm.get(), tone, 0, buffer));
    EXPECT_EQ(SND_PCM_STATE_PREPARED, snd_pcm_state(pcm.get()));
    EXPECT_EQ(0, snd_pcm_avail(pcm.get()));
    ASSERT_EQ(0, snd_pcm_start(pcm.get()));
    EXPECT_EQ(SND_PCM_STATE_RUNNING, snd_pcm_state(pcm.get()));
    ASSERT_EQ(0, snd_pcm_drain(pcm.get()));
    const auto events = vcard::ReadEvents(env.Dir(), "dmix");
    ASSERT_EQ(1u, CountEvents(events, "start"));
    for (const auto& e : events) {
        if (e.name == "start") {
            EXPECT_EQ(static_cast<long long>(buffer), e.Field("queued"));
        }
    }
}

TEST(VCardPcm, UnderrunReportsEpipeUntilPreparedOrRecovered)
{
    vcard::VCardTestEnv env("4");
    PcmSetup setup;
    setup.start_threshold = 4096;
    auto pcm = OpenPcm("channel2", setup);
    ASSERT_TRUE(pcm);
    snd_pcm_t* h = pcm.get();
    const vcard::Wav tone = vcard::MakeSine(48000, 2, 0.5, 440.0);

    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(0, WriteAll(h, tone, 0, 4800)) << round;
        EXPECT_EQ(SND_PCM_STATE_RUNNING, snd_pcm_state(h));
        // 100 ms of audio lasts 25 ms at speed 4; nothing more is written
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_EQ(-EPIPE, snd_pcm_avail_update(h));
        EXPECT_EQ(SND_PCM_STATE_XRUN, snd_pcm_state(h));
        snd_pcm_sframes_t delay = 0;
        EXPECT_EQ(-EPIPE, snd_pcm_delay(h, &delay));
        EXPECT_EQ(-EPIPE, snd_pcm_writei(h, tone.samples.data(), 100));
        if (round == 0) {
            ASSERT_EQ(0, snd_pcm_prepare(h));
        } else {
            ASSERT_EQ(0, snd_pcm_recover(h, -EPIPE, 1));
        }
        EXPECT_EQ(SND_PCM_STATE_PREPARED, snd_pcm_state(h));
    }
    ASSERT_EQ(0, WriteAll(h, tone, 0, 4800));
    ASSERT_EQ(0, snd_pcm_drain(h));
    pcm.reset();

    vcard::Wav heard;
    ASSERT_EQ(0, vcard::ReadWav(env.WavPath("channel2"), &heard));
    EXPECT_EQ(3u * 4800u, heard.Frames()); // every frame played before each under-run
    const auto events = vcard::ReadEvents(env.Dir(), "channel2");
    EXPECT_EQ(2u, CountEvents(events, "xrun"));
    for (size_t i = 1; i < events.size(); ++i) {
        if (events[i].name != "xrun")
            continue;
        // the queue of 4800 frames ran dry 25 ms after the start, long before it was noticed
        const double dry = std::stod(events[i].fields.at("at"));
        EXPECT_NEAR(0.025, dry - events[i - 1].time, 0.01);
        EXPECT_GT(events[i].time - dry, 0.1);
    }
    EXPECT_EQ(3u, CountEvents(events, "start"));
    EXPECT_EQ(1u, CountEvents(events, "drain"));
}

TEST(VCardPcm, RecordingFollowsTheClockWithoutCallsAndSurvivesAPrepare)
{
    vcard::VCardTestEnv env("4");
    PcmSetup setup;
    setup.start_threshold = 4096;
    auto pcm = OpenPcm("channel1", setup);
    ASSERT_TRUE(pcm);
    snd_pcm_t* h = pcm.get();
    const snd_pcm_uframes_t buffer = BufferSize(h);
    const vcard::Wav tone = vcard::MakeSine(48000, 2, 2.0, 440.0);

    // A full device buffer, then nothing: the program leaves the device alone.
    ASSERT_EQ(0, WriteAll(h, tone, 0, buffer));
    vcard::Wav heard;
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(0, vcard::ReadWav(env.WavPath("channel1"), &heard));
    } while (heard.Frames() < buffer && Clock::now() < deadline);
    ASSERT_EQ(size_t(buffer), heard.Frames()) << "the recording waited for a call";
    EXPECT_TRUE(std::equal(heard.samples.begin(), heard.samples.end(), tone.samples.begin()));

    // A resume after a pause: prepare on the under-run device the program never asked
    // about. What it played stays; the next frames follow it.
    ASSERT_EQ(0, snd_pcm_prepare(h));
    ASSERT_EQ(0, WriteAll(h, tone, buffer, 4800));
    ASSERT_EQ(0, vcard::ReadWav(env.WavPath("channel1"), &heard));
    EXPECT_LE(heard.Frames(), size_t(buffer) + 4800);
    ASSERT_EQ(0, snd_pcm_drain(h));
    ASSERT_EQ(0, vcard::ReadWav(env.WavPath("channel1"), &heard));
    ASSERT_EQ(size_t(buffer) + 4800, heard.Frames());
    EXPECT_TRUE(std::equal(heard.samples.begin(), heard.samples.end(), tone.samples.begin()));
    const auto events = vcard::ReadEvents(env.Dir(), "channel1");
    EXPECT_EQ(1u, CountEvents(events, "xrun"));
    EXPECT_EQ(2u, CountEvents(events, "start"));
}

TEST(VCardPcm, DrainWaitsForQueuedFramesAndDropDiscardsThem)
{
    vcard::VCardTestEnv env("4");
    const vcard::Wav tone = vcard::MakeSine(48000, 2, 2.0, 440.0);
    {
        // fewer frames than the start threshold: drain starts the device and plays them
        PcmSetup setup;
        setup.start_threshold = 4096;
        auto pcm = OpenPcm("channel1", setup);
        ASSERT_TRUE(pcm);
        ASSERT_EQ(0, WriteAll(pcm.get(), tone, 0, 2400));
        ASSERT_EQ(0, snd_pcm_drain(pcm.get()));
        EXPECT_EQ(SND_PCM_STATE_SETUP, snd_pcm_state(pcm.get()));
        // usable again after prepare, as the output does after a pause
        ASSERT_EQ(0, snd_pcm_prepare(pcm.get()));
        const snd_pcm_uframes_t queued = BufferSize(pcm.get());
        ASSERT_EQ(0, WriteAll(pcm.get(), tone, 2400, queued));
        const auto start = Clock::now();
        ASSERT_EQ(0, snd_pcm_drain(pcm.get()));
        const double expected = double(queued) / 48000.0 / 4.0;
        EXPECT_GE(Since(start), expected * 0.8);
        EXPECT_LE(Since(start), expected + 0.3);
        pcm.reset();
        vcard::Wav heard;
        ASSERT_EQ(0, vcard::ReadWav(env.WavPath("channel1"), &heard));
        EXPECT_EQ(2400u + queued, heard.Frames());
    }
    {
        PcmSetup setup;
        setup.start_threshold = 4096;
        auto pcm = OpenPcm("channel4", setup);
        ASSERT_TRUE(pcm);
        const snd_pcm_uframes_t queued = BufferSize(pcm.get());
        ASSERT_EQ(0, WriteAll(pcm.get(), tone, 0, queued));
        ASSERT_EQ(0, snd_pcm_drop(pcm.get()));
        pcm.reset();
        vcard::Wav heard;
        ASSERT_EQ(0, vcard::ReadWav(env.WavPath("channel4"), &heard));
        EXPECT_LT(heard.Frames(), size_t(queued) / 2);
        bool found = false;
        for (const auto& e : vcard::ReadEvents(env.Dir(), "channel4")) {
            if (e.name != "drop")
                continue;
            found = true;
            EXPECT_EQ(static_cast<long long>(heard.Frames()), e.Field("played"));
            EXPECT_EQ(static_cast<long long>(queued), e.Field("played") + e.Field("discarded"));
        }
        EXPECT_TRUE(found);
    }
}

TEST(VCardPcm, PlugDmixConvertsToTheFixed48kStereoSlave)
{
    vcard::VCardTestEnv env("unpaced");
    const vcard::Wav tone = vcard::MakeSine(44100, 1, 0.5, 1000.0);
    PcmSetup setup;
    setup.rate = 44100;
    setup.channels = 1;
    {
        auto pcm = OpenPcm("plug:dmix", setup);
        ASSERT_TRUE(pcm);
        ASSERT_EQ(0, WriteAll(pcm.get(), tone));
        ASSERT_EQ(0, snd_pcm_drain(pcm.get()));
    }
    vcard::Wav heard;
    ASSERT_EQ(0, vcard::ReadWav(env.WavPath("dmix"), &heard));
    EXPECT_EQ(48000u, heard.rate);
    EXPECT_EQ(2u, heard.channels);
    EXPECT_NEAR(24000.0, double(heard.Frames()), 100.0);
    for (unsigned ch = 0; ch < 2; ++ch)
        EXPECT_NEAR(1000.0, vcard::DominantFrequency(heard, ch, 1000, 20000), 2.0) << ch;

    // without plug the device takes only its own format, as a real dmix does
    int err = 0;
    setup.resample = false;
    EXPECT_FALSE(OpenPcm("dmix", setup, &err));
    EXPECT_LT(err, 0);
}

TEST(VCardPcm, ConfigurationPathChangesNeedNoAlsaReset)
{
    vcard::VCardTestEnv env("unpaced");
    // warm alsa-lib's configuration cache with the card's file first
    ASSERT_TRUE(OpenPcm("channel1", PcmSetup()));
    // a second configuration where channel1 records under another name
    std::ifstream in(vcard::VCardTestEnv::AsoundConf());
    std::stringstream text;
    text << in.rdbuf();
    std::string conf = text.str();
    const std::string from = "device \"channel1\"";
    const size_t at = conf.find(from);
    ASSERT_NE(std::string::npos, at);
    conf.replace(at, from.size(), "device \"renamed\"");
    const std::string path = env.Dir() + "/other.conf";
    std::ofstream(path) << conf;
    env.Set("ALSA_CONFIG_PATH", path);
    {
        auto pcm = OpenPcm("channel1", PcmSetup());
        ASSERT_TRUE(pcm);
        ASSERT_EQ(0, WriteAll(pcm.get(), vcard::MakeSine(48000, 2, 0.05, 440.0)));
        ASSERT_EQ(0, snd_pcm_drain(pcm.get()));
    }
    vcard::Wav heard;
    EXPECT_EQ(0, vcard::ReadWav(env.WavPath("renamed"), &heard));
    EXPECT_EQ(2400u, heard.Frames());
}

} // namespace
