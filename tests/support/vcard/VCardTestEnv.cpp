#include "tests/support/vcard/VCardTestEnv.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "vcard_mixer_state.h"

namespace vcard {
namespace {

const char* const kCardVariables[] = {"ALSA_CONFIG_PATH", "VCARD_DIR",        "VCARD_SPEED",
                                      "VCARD_PPM",        "VCARD_POINTER",    "VCARD_STALL",
                                      "VCARD_FAIL_OPEN",  "VCARD_FAIL_START", "VCARD_FORCE_RATE",
                                      "VCARD_NO_MIXER",   "VCARD_SOFTVOL",    "VCARD_FAIL_CLOSE",
                                      "VCARD_VANISH"};

struct FileCloser {
    void operator()(FILE* f) const noexcept { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

void PutLe32(std::string* s, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s->push_back(char((v >> (8 * i)) & 0xFF));
}

void PutLe16(std::string* s, uint16_t v)
{
    s->push_back(char(v & 0xFF));
    s->push_back(char(v >> 8));
}

int MixerIndex(const std::string& element)
{
    for (int i = 0; i < VCARD_MIXER_ELEMS; ++i)
        if (element == vcard_mixer_names[i])
            return i;
    return -1;
}

size_t ClampFrames(const Wav& wav, size_t first, size_t frames)
{
    const size_t total = wav.Frames();
    if (first >= total)
        return 0;
    return std::min(frames, total - first);
}

} // namespace

VCardTestEnv::VCardTestEnv(const std::string& speed)
{
    for (const char* name : kCardVariables)
        Remember(name);
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vcard-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr)
        m_dir = buf.data();
    for (const char* name : kCardVariables)
        unsetenv(name);
    setenv("ALSA_CONFIG_PATH", AsoundConf(), 1);
    setenv("VCARD_DIR", m_dir.c_str(), 1);
    setenv("VCARD_SPEED", speed.c_str(), 1);
}

VCardTestEnv::~VCardTestEnv()
{
    for (const auto& [name, saved] : m_saved) {
        if (saved.first)
            setenv(name.c_str(), saved.second.c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    const char* keep = getenv("VCARD_KEEP");
    if (!m_dir.empty() && !(keep && strcmp(keep, "1") == 0)) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
}

void VCardTestEnv::Remember(const char* name)
{
    if (m_saved.count(name))
        return;
    const char* v = getenv(name);
    m_saved[name] = {v != nullptr, v ? v : ""};
}

void VCardTestEnv::Set(const std::string& name, const std::string& value)
{
    Remember(name.c_str());
    if (value.empty())
        unsetenv(name.c_str());
    else
        setenv(name.c_str(), value.c_str(), 1);
}

std::string VCardTestEnv::WavPath(const std::string& pcm) const { return m_dir + "/" + pcm + ".wav"; }

const char* VCardTestEnv::AsoundConf() { return VCARD_ASOUND_CONF; }

int ReadWav(const std::string& path, Wav* out)
{
    File f(fopen(path.c_str(), "rb"));
    if (!f)
        return -errno;
    uint8_t riff[12];
    if (fread(riff, 1, sizeof(riff), f.get()) != sizeof(riff) || memcmp(riff, "RIFF", 4) ||
        memcmp(riff + 8, "WAVE", 4))
        return -EINVAL;
    bool have_fmt = false;
    uint8_t chunk[8];
    while (fread(chunk, 1, sizeof(chunk), f.get()) == sizeof(chunk)) {
        const uint32_t size = Le32(chunk + 4);
        if (memcmp(chunk, "fmt ", 4) == 0) {
            uint8_t fmt[16];
            if (size < 16 || fread(fmt, 1, 16, f.get()) != 16)
                return -EINVAL;
            if (Le16(fmt) != 1 || Le16(fmt + 14) != 16)
                return -EINVAL;
            out->channels = Le16(fmt + 2);
            out->rate = Le32(fmt + 4);
            have_fmt = out->channels > 0;
            fseek(f.get(), long(size - 16 + (size & 1)), SEEK_CUR);
        } else if (memcmp(chunk, "data", 4) == 0) {
            if (!have_fmt)
                return -EINVAL;
            out->samples.resize(size / 2);
            const size_t got = fread(out->samples.data(), 2, out->samples.size(), f.get());
            out->samples.resize(got - got % out->channels);
            return 0;
        } else {
            fseek(f.get(), long(size + (size & 1)), SEEK_CUR);
        }
    }
    return -EINVAL;
}

int WriteWav(const std::string& path, const Wav& wav)
{
    const uint32_t data = uint32_t(wav.samples.size() * 2);
    std::string h = "RIFF";
    PutLe32(&h, 36 + data);
    h += "WAVEfmt ";
    PutLe32(&h, 16);
    PutLe16(&h, 1);
    PutLe16(&h, wav.channels);
    PutLe32(&h, wav.rate);
    PutLe32(&h, wav.rate * wav.channels * 2u);
    PutLe16(&h, uint16_t(wav.channels * 2));
    PutLe16(&h, 16);
    h += "data";
    PutLe32(&h, data);
    File f(fopen(path.c_str(), "wb"));
    if (!f)
        return -errno;
    if (fwrite(h.data(), 1, h.size(), f.get()) != h.size() ||
        fwrite(wav.samples.data(), 2, wav.samples.size(), f.get()) != wav.samples.size())
        return -EIO;
    return 0;
}

Wav MakeSine(uint32_t rate, uint16_t channels, double seconds, double hz, double amplitude)
{
    Wav wav;
    wav.rate = rate;
    wav.channels = channels;
    const size_t frames = size_t(seconds * rate);
    wav.samples.resize(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        const double v = amplitude * 32767.0 * std::sin(2.0 * M_PI * hz * double(i) / rate);
        for (unsigned ch = 0; ch < channels; ++ch)
            wav.samples[i * channels + ch] = int16_t(std::lround(v));
    }
    return wav;
}

double DominantFrequency(const Wav& wav, unsigned ch, size_t first, size_t frames)
{
    frames = ClampFrames(wav, first, frames);
    double first_cross = -1.0, last_cross = -1.0;
    int crossings = 0;
    for (size_t i = first + 1; i < first + frames; ++i) {
        const int a = wav.At(i - 1, ch), b = wav.At(i, ch);
        if (a < 0 && b >= 0) {
            // interpolate the crossing between the two samples
            const double t = double(i - 1) + double(-a) / double(b - a);
            if (first_cross < 0)
                first_cross = t;
            last_cross = t;
            ++crossings;
        }
    }
    if (crossings < 2 || wav.rate == 0)
        return 0.0;
    return (crossings - 1) * double(wav.rate) / (last_cross - first_cross);
}

double Rms(const Wav& wav, unsigned ch, size_t first, size_t frames)
{
    frames = ClampFrames(wav, first, frames);
    if (frames == 0)
        return 0.0;
    double sum = 0.0;
    for (size_t i = first; i < first + frames; ++i) {
        const double v = wav.At(i, ch) / 32768.0;
        sum += v * v;
    }
    return std::sqrt(sum / double(frames));
}

std::vector<Gap> FindSilence(const Wav& wav, size_t min_frames, int16_t threshold)
{
    std::vector<Gap> gaps;
    Gap run;
    bool in_run = false;
    const size_t total = wav.Frames();
    for (size_t i = 0; i <= total; ++i) {
        bool silent = i < total;
        for (unsigned ch = 0; silent && ch < wav.channels; ++ch)
            silent = std::abs(int(wav.At(i, ch))) <= threshold;
        if (silent && !in_run) {
            run = Gap{i, 0};
            in_run = true;
        }
        if (!silent && in_run) {
            run.frames = i - run.first;
            if (run.frames >= min_frames)
                gaps.push_back(run);
            in_run = false;
        }
    }
    return gaps;
}

long long Event::Field(const std::string& key, long long fallback) const
{
    const auto it = fields.find(key);
    if (it == fields.end())
        return fallback;
    return strtoll(it->second.c_str(), nullptr, 10);
}

std::vector<Event> ReadEvents(const std::string& dir, const std::string& pcm)
{
    std::vector<Event> events;
    std::ifstream in(dir + "/events.log");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        Event e;
        if (!(words >> e.time >> e.pid >> e.pcm >> e.name))
            continue;
        std::string word;
        while (words >> word) {
            const size_t eq = word.find('=');
            if (eq != std::string::npos)
                e.fields[word.substr(0, eq)] = word.substr(eq + 1);
        }
        if (pcm.empty() || e.pcm == pcm)
            events.push_back(std::move(e));
    }
    return events;
}

int ReadMixer(const std::string& dir, const std::string& element, long* value)
{
    const int idx = MixerIndex(element);
    if (idx < 0)
        return -EINVAL;
    long values[VCARD_MIXER_ELEMS];
    int present[VCARD_MIXER_ELEMS];
    const int err = vcard_mixer_load_present(dir.c_str(), values, present);
    *value = values[idx];
    return err < 0 ? err : present[idx] ? 0 : -ENOENT;
}

int WriteMixer(const std::string& dir, const std::string& element, long value)
{
    const int idx = MixerIndex(element);
    if (idx < 0)
        return -EINVAL;
    return vcard_mixer_store(dir.c_str(), idx, value);
}

} // namespace vcard
