// The virtual card seen through alsa-lib, as the player's outputs use it.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <memory>

#include "tests/support/vcard/VCardTestEnv.h"

namespace {

struct PcmCloser {
    void operator()(snd_pcm_t* p) const noexcept { snd_pcm_close(p); }
};
using Pcm = std::unique_ptr<snd_pcm_t, PcmCloser>;

// Opens name for blocking playback of S16_LE at rate/channels; start_threshold 0 keeps
// alsa-lib's default.
Pcm OpenPcm(const char* name, unsigned rate, unsigned channels,
            snd_pcm_access_t access = SND_PCM_ACCESS_RW_INTERLEAVED,
            snd_pcm_uframes_t start_threshold = 0)
{
    snd_pcm_t* raw = nullptr;
    if (snd_pcm_open(&raw, name, SND_PCM_STREAM_PLAYBACK, 0) < 0)
        return Pcm();
    Pcm pcm(raw);
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    unsigned granted = rate;
    if (snd_pcm_hw_params_any(raw, hw) < 0 || snd_pcm_hw_params_set_access(raw, hw, access) < 0 ||
        snd_pcm_hw_params_set_format(raw, hw, SND_PCM_FORMAT_S16_LE) < 0 ||
        snd_pcm_hw_params_set_channels(raw, hw, channels) < 0 ||
        snd_pcm_hw_params_set_rate_near(raw, hw, &granted, nullptr) < 0 || granted != rate ||
        snd_pcm_hw_params(raw, hw) < 0)
        return Pcm();
    if (start_threshold) {
        snd_pcm_sw_params_t* sw;
        snd_pcm_sw_params_alloca(&sw);
        if (snd_pcm_sw_params_current(raw, sw) < 0 ||
            snd_pcm_sw_params_set_start_threshold(raw, sw, start_threshold) < 0 ||
            snd_pcm_sw_params(raw, sw) < 0)
            return Pcm();
    }
    return pcm;
}

// Writes every frame of wav, blocking. Returns 0 or the first error.
int WriteAll(snd_pcm_t* pcm, const vcard::Wav& wav, size_t first = 0, size_t frames = SIZE_MAX)
{
    frames = std::min(frames, wav.Frames() - first);
    const int16_t* data = wav.samples.data() + first * wav.channels;
    while (frames > 0) {
        const snd_pcm_sframes_t n = snd_pcm_writei(pcm, data, frames);
        if (n < 0)
            return int(n);
        data += n * wav.channels;
        frames -= size_t(n);
    }
    return 0;
}

TEST(VCardPcm, RecordsExactlyWhatWasWritten)
{
    vcard::VCardTestEnv env("unpaced");
    const vcard::Wav tone = vcard::MakeSine(44100, 2, 0.5, 1000.0);
    {
        Pcm pcm = OpenPcm("channel1", 44100, 2);
        ASSERT_TRUE(pcm);
        ASSERT_EQ(0, WriteAll(pcm.get(), tone));
        ASSERT_EQ(0, snd_pcm_drain(pcm.get()));
    }
    vcard::Wav heard;
    ASSERT_EQ(0, vcard::ReadWav(env.WavPath("channel1"), &heard));
    EXPECT_EQ(44100u, heard.rate);
    EXPECT_EQ(2u, heard.channels);
    EXPECT_EQ(tone.samples, heard.samples);
}

} // namespace
