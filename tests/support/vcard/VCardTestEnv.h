#pragma once
// Test support for the virtual sound card: sets up a process so that alsa-lib uses the
// card, and reads back what the card played (WAV recordings, event log, mixer state).
//
// Usage in a test:
//   vcard::VCardTestEnv env;           // fresh VCARD_DIR, real-time clock, no faults
//   env.Set("VCARD_SPEED", "4");       // optional: before the device is opened
//   ... play to "channel1" with alsa-lib ...
//   vcard::Wav wav;
//   ASSERT_EQ(0, vcard::ReadWav(env.WavPath("channel1"), &wav));
//   EXPECT_NEAR(440.0, vcard::DominantFrequency(wav, 0, 0, wav.Frames()), 2.0);
//
// Environment changes take effect at the next snd_pcm_open/snd_mixer_attach: the plugins
// read them when a device is opened. alsa-lib reloads its configuration by itself when
// ALSA_CONFIG_PATH names another file, so snd_config_update_free_global() is not needed
// between tests (call it at process end only if a leak checker should see a clean heap).

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vcard {

// One process-wide card environment. Not thread-safe: create it before any thread uses
// alsa-lib, as setenv is. Only one may exist at a time.
class VCardTestEnv final {
public:
    // Creates a fresh temporary VCARD_DIR and sets ALSA_CONFIG_PATH, VCARD_DIR and
    // VCARD_SPEED (speed: a factor, or "unpaced"); clears every other VCARD_ variable.
    explicit VCardTestEnv(const std::string& speed = "1");
    // Restores the previous environment and removes the folder (kept when VCARD_KEEP=1).
    ~VCardTestEnv();
    VCardTestEnv(const VCardTestEnv&) = delete;
    VCardTestEnv& operator=(const VCardTestEnv&) = delete;

    // Sets or clears (empty value) one variable, e.g. "VCARD_FAIL_OPEN", "VCARD_STALL".
    void Set(const std::string& name, const std::string& value);

    const std::string& Dir() const { return m_dir; }
    // "<dir>/<pcm>.wav"
    std::string WavPath(const std::string& pcm) const;
    // The configuration file written by the build.
    static const char* AsoundConf();

private:
    void Remember(const char* name);

    std::string m_dir;
    std::map<std::string, std::pair<bool, std::string>> m_saved; // previous values
};

// A recording: interleaved signed 16-bit samples.
struct Wav {
    uint32_t rate = 0;
    uint16_t channels = 0;
    std::vector<int16_t> samples;

    size_t Frames() const { return channels ? samples.size() / channels : 0; }
    int16_t At(size_t frame, unsigned ch) const { return samples[frame * channels + ch]; }
};

// Reads a 16-bit PCM WAV file. Returns 0, -errno, or -EINVAL for another format.
int ReadWav(const std::string& path, Wav* out);
// Writes a 16-bit PCM WAV file. Returns 0 or -errno.
int WriteWav(const std::string& path, const Wav& wav);
// A sine tone of the given frequency on every channel (amplitude 0..1 of full scale).
Wav MakeSine(uint32_t rate, uint16_t channels, double seconds, double hz, double amplitude = 0.5);

// Dominant frequency in Hz of channel ch over [first, first + frames), from the rising
// zero crossings (good for single tones). 0 when the segment has fewer than two crossings.
double DominantFrequency(const Wav& wav, unsigned ch, size_t first, size_t frames);
// RMS of channel ch over a segment, relative to full scale (0..1).
double Rms(const Wav& wav, unsigned ch, size_t first, size_t frames);

// A run of frames where every channel stays within +-threshold.
struct Gap {
    size_t first = 0;
    size_t frames = 0;
};
// Silent runs of at least min_frames frames, in order.
std::vector<Gap> FindSilence(const Wav& wav, size_t min_frames, int16_t threshold = 64);

// One line of the card's event log: "<time> <pid> <pcm> <name> key=value ...".
struct Event {
    double time = 0.0; // CLOCK_MONOTONIC seconds
    int pid = 0;
    std::string pcm;
    std::string name; // open, start, drain, drop, xrun, close, open-refused, start-failed,
                      // vanish, control-created
    std::map<std::string, std::string> fields;

    // The field as an integer, or fallback when missing.
    long long Field(const std::string& key, long long fallback = -1) const;
};
// Reads <dir>/events.log; pcm filters by device name when not empty.
std::vector<Event> ReadEvents(const std::string& dir, const std::string& pcm = "");

// Mixer state of the card (0..255 per element "chan_1".."chan_4", "Playback").
// Return 0 or a negative errno (-EINVAL for an unknown element; ReadMixer: -ENOENT for an
// element that does not exist yet with VCARD_SOFTVOL, value then 255). WriteMixer makes
// the element exist, as a saved mixer state does.
int ReadMixer(const std::string& dir, const std::string& element, long* value);
int WriteMixer(const std::string& dir, const std::string& element, long value);

} // namespace vcard
