#include <gtest/gtest.h>
#include <mpg123.h>

#include "player/decoder/CAudioDecoderChain.h"
#include "tests/output/pcm_test_support.h"
#include "tests/support/media/MediaPackets.h"
#include "tests/support/media/ToneAnalysis.h"

using testkit::MediaFile;
using testkit::MediaPackets;

namespace {

constexpr const char* kDevice = "channel2";

// The player's file path: decoder chain into the blocking ALSA output.
struct FilePlayback {
    FilePlayback() {
        mpg123_init();
        chain.CreateChain("P2");
        out.set_player_prefix("P2");
        out.SetDeviceName(kDevice);
        chain.SetDependentOutput(&out);
    }
    ~FilePlayback() { chain.DestroyDecoders(); }

    void Play(const std::string& name) {
        MediaPackets media = MediaPackets::Load(MediaFile(name));
        ASSERT_TRUE(media.ok()) << name;
        ASSERT_EQ(chain.SetDecoderId(media.decoder_id()), 0);
        chain.SetExtraData(media.extradata(), media.extradata_size(), media.context());
        for (const auto& p : media.packets())
            chain.WriteBuffer(p.data(), static_cast<uint16_t>(p.size()), 0);
    }

    CAudioDecoderChain chain;
    CPCMOutput out;
};

void ExpectRecordedTone(const std::string& path, uint32_t rate, uint16_t channels, double hz,
                        double seconds) {
    SCOPED_TRACE(path);
    vcard::Wav wav;
    ASSERT_EQ(vcard::ReadWav(path, &wav), 0);
    EXPECT_EQ(wav.rate, rate);
    EXPECT_EQ(wav.channels, channels);
    const size_t edge = rate / 10;  // codecs fade in and out
    ASSERT_GT(wav.Frames(), 2 * edge);
    // SBR adds faint noise around the zero crossings: use the analysis with hysteresis.
    EXPECT_NEAR(testkit::AnalyseTone(wav.samples, channels, static_cast<int>(rate), edge).frequency,
                hz, hz * 0.005);
    for (unsigned ch = 0; ch < channels; ++ch)
        EXPECT_NEAR(vcard::Rms(wav, ch, edge, wav.Frames() - 2 * edge), 0.3536, 0.04);
    // Priming and padding add at most a few codec frames.
    EXPECT_GE(wav.Frames(), static_cast<size_t>(seconds * rate) - 100);
    EXPECT_LE(wav.Frames(), static_cast<size_t>(seconds * rate) + 4 * 2048);
}

}  // namespace

TEST(CPCMOutputWithChain, DecodedTonesReachTheCardIntact) {
    struct Case {
        const char* file;
        uint32_t rate;
        uint16_t channels;
        double hz;
    };
    for (const Case& c : {Case{"tone_440_44100_stereo.mp3", 44100, 2, 440},
                          Case{"tone_1000_22050_mono.mp3", 22050, 1, 1000},
                          Case{"tone_440_44100_stereo.m4a", 44100, 2, 440},
                          Case{"tone_440_44100_stereo_he.aac", 44100, 2, 440},
                          Case{"tone_1000_22050_mono.aac", 22050, 1, 1000}}) {
        SCOPED_TRACE(c.file);
        vcard::VCardTestEnv env("unpaced");
        LogCapture log;
        {
            FilePlayback playback;
            playback.Play(c.file);
            EXPECT_EQ(playback.out.DeInitWithDrain(), 0);
        }
        // The format came first: no write ever met a closed device.
        EXPECT_FALSE(log.Contains("ERROR")) << log.All();
        ExpectRecordedTone(env.WavPath(kDevice), c.rate, c.channels, c.hz, 2.0);
    }
}

TEST(CPCMOutputWithChain, OnlyAFormatChangeReopensTheDevice) {
    for (const char* file : {"change_44100s_22050m.mp3", "change_44100s_22050m.aac"}) {
        SCOPED_TRACE(file);
        vcard::VCardTestEnv env("unpaced");
        {
            FilePlayback playback;
            playback.Play(file);
            playback.out.DeInitWithDrain();
        }
        EXPECT_EQ(CountEvents(env.Dir(), kDevice, "open"), 2u);
        // The card keeps the recording of the first format under a numbered name.
        ExpectRecordedTone(env.Dir() + "/" + kDevice + "-1.wav", 44100, 2, 440, 1.0);
        ExpectRecordedTone(env.WavPath(kDevice), 22050, 1, 1000, 1.0);
    }

    vcard::VCardTestEnv env("unpaced");
    {
        FilePlayback playback;
        playback.Play("tone_440_44100_stereo.mp3");
        EXPECT_EQ(playback.chain.RestartFeed(), 0);  // the next track of the playlist
        playback.Play("tone_880_44100_stereo.mp3");
        playback.out.DeInitWithDrain();
    }
    EXPECT_EQ(CountEvents(env.Dir(), kDevice, "open"), 1u);
    vcard::Wav wav;
    ASSERT_EQ(vcard::ReadWav(env.WavPath(kDevice), &wav), 0);
    EXPECT_NEAR(vcard::DominantFrequency(wav, 0, 4410, 80000), 440.0, 2.0);
    EXPECT_NEAR(vcard::DominantFrequency(wav, 0, wav.Frames() - 84100, 80000), 880.0, 4.0);
}
