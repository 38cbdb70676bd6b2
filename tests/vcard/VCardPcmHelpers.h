#pragma once
// Small alsa-lib helpers shared by the card's tests.
#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "tests/support/vcard/VCardTestEnv.h"

namespace vcardtest {

struct PcmCloser {
    void operator()(snd_pcm_t* p) const noexcept { snd_pcm_close(p); }
};
using Pcm = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct PcmSetup {
    unsigned rate = 48000;
    unsigned channels = 2;
    snd_pcm_access_t access = SND_PCM_ACCESS_RW_INTERLEAVED;
    snd_pcm_uframes_t start_threshold = 0; // 0: alsa-lib's default
    bool resample = true;
};

// Opens and configures name for blocking playback of S16_LE. Returns a null handle on
// failure and, if err is given, the ALSA error (or -EINVAL when the rate was not granted).
Pcm OpenPcm(const char* name, const PcmSetup& setup, int* err = nullptr);

// Writes frames of wav from first on, blocking (RW or MMAP access). Returns 0 or the error.
int WriteAll(snd_pcm_t* pcm, const vcard::Wav& wav, size_t first = 0, size_t frames = SIZE_MAX);

// Seconds since start.
inline double Since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace vcardtest
