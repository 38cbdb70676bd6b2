#include "VCardPcmHelpers.h"

#include <algorithm>

namespace vcardtest {

namespace {

int ConfigureHw(snd_pcm_t* pcm, const PcmSetup& setup)
{
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    unsigned granted = setup.rate;
    int err;
    if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0 ||
        (err = snd_pcm_hw_params_set_rate_resample(pcm, hw, setup.resample ? 1 : 0)) < 0 ||
        (err = snd_pcm_hw_params_set_access(pcm, hw, setup.access)) < 0 ||
        (err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(pcm, hw, setup.channels)) < 0 ||
        (err = snd_pcm_hw_params_set_rate_near(pcm, hw, &granted, nullptr)) < 0)
        return err;
    if (granted != setup.rate)
        return -EINVAL;
    return snd_pcm_hw_params(pcm, hw);
}

int ConfigureSw(snd_pcm_t* pcm, snd_pcm_uframes_t start_threshold)
{
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    int err;
    if ((err = snd_pcm_sw_params_current(pcm, sw)) < 0 ||
        (err = snd_pcm_sw_params_set_start_threshold(pcm, sw, start_threshold)) < 0)
        return err;
    return snd_pcm_sw_params(pcm, sw);
}

} // namespace

Pcm OpenPcm(const char* name, const PcmSetup& setup, int* err)
{
    int dummy;
    int& result = err ? *err : dummy;
    snd_pcm_t* raw = nullptr;
    result = snd_pcm_open(&raw, name, SND_PCM_STREAM_PLAYBACK, 0);
    if (result < 0)
        return Pcm();
    Pcm pcm(raw);
    result = ConfigureHw(raw, setup);
    if (result >= 0 && setup.start_threshold)
        result = ConfigureSw(raw, setup.start_threshold);
    return result < 0 ? Pcm() : std::move(pcm);
}

int WriteAll(snd_pcm_t* pcm, const vcard::Wav& wav, size_t first, size_t frames)
{
    frames = std::min(frames, wav.Frames() - first);
    snd_pcm_access_t access = SND_PCM_ACCESS_RW_INTERLEAVED;
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    if (snd_pcm_hw_params_current(pcm, hw) == 0)
        snd_pcm_hw_params_get_access(hw, &access);
    const int16_t* data = wav.samples.data() + first * wav.channels;
    while (frames > 0) {
        const snd_pcm_sframes_t n = access == SND_PCM_ACCESS_MMAP_INTERLEAVED
                                        ? snd_pcm_mmap_writei(pcm, data, frames)
                                        : snd_pcm_writei(pcm, data, frames);
        if (n < 0)
            return int(n);
        data += n * wav.channels;
        frames -= size_t(n);
    }
    return 0;
}

} // namespace vcardtest
