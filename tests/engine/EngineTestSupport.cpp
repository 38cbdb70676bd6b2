#include "tests/engine/EngineTestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "utils/CLogger.h"

using namespace OrvanePlayer;

namespace enginetest {

namespace {
auto Deadline(int limit_ms) { return std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms); }
}  // namespace

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void Recorder::Add(Note note) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_notes.push_back(std::move(note));
    m_changed.notify_all();
}

void Recorder::NotifyItemPlaybackFinished(const PlaybackInfo& info, const std::string& item) {
    Add({Kind::ItemFinished, info, item, 0, false});
}
void Recorder::NotifyTrackPlaybackFinished(const PlaybackInfo& info, const std::string& track, bool partially) {
    Add({Kind::TrackFinished, info, track, 0, partially});
}
void Recorder::NotifyPlaybackCommandExecuted(const PlaybackInfo& info) { Add({Kind::CommandExecuted, info, "", 0, false}); }
void Recorder::NotifyPlaybackStateChanged(const PlaybackInfo& info, const char* state) {
    Add({Kind::StateChanged, info, state ? state : "", info.m_player_state, false});
}
void Recorder::NotifyTrackPlaybackStarted(const PlaybackInfo& info, bool last) {
    Add({Kind::TrackStarted, info, info.m_curr_music_file, 0, last});
}
void Recorder::NotifyItemPlaybackStarted(const PlaybackInfo& info) { Add({Kind::ItemStarted, info, "", 0, false}); }
void Recorder::NotifyPlaybackItemMissing(const PlaybackInfo& info, const std::string& name) {
    Add({Kind::ItemMissing, info, name, 0, false});
}
void Recorder::NotifyPlaybackError(const PlaybackInfo& info, int code) { Add({Kind::Error, info, "", code, false}); }
void Recorder::NotifyPlaybackInfoChanged(const PlaybackInfo& info) {
    Add({Kind::InfoChanged, info, info.m_curr_song_name, 0, false});
}
void Recorder::OnFadeEnd(PlaybackInfo info, bool is_stream, const unsigned* kind) {
    Add({Kind::FadeEnd, info, "", kind ? static_cast<int>(*kind) : -1, is_stream});
}
void Recorder::OnTrackFadeIn(const PlaybackInfo& info) { Add({Kind::TrackFadeIn, info, "", 0, false}); }

bool Recorder::WaitFor(const std::function<bool(const std::vector<Note>&)>& pred, int limit_ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_until(lock, Deadline(limit_ms), [&] { return pred(m_notes); });
}

bool Recorder::WaitCount(Kind kind, size_t n, const std::string& text, int limit_ms) {
    return WaitFor(
        [&](const std::vector<Note>& notes) {
            size_t count = 0;
            for (const Note& note : notes)
                if (note.kind == kind && (text.empty() || note.text == text)) ++count;
            return count >= n;
        },
        limit_ms);
}

bool Recorder::WaitState(int state, int limit_ms) {
    return WaitFor(
        [&](const std::vector<Note>& notes) {
            for (auto it = notes.rbegin(); it != notes.rend(); ++it)
                if (it->kind == Kind::StateChanged) return it->code == state;
            return false;
        },
        limit_ms);
}

bool Recorder::WaitSettledIdle(int limit_ms) {
    return WaitFor(
        [](const std::vector<Note>& notes) {
            return !notes.empty() && notes.back().kind == Kind::CommandExecuted &&
                   notes.back().info.m_player_state == PLAYER_STATE_IDLE;
        },
        limit_ms);
}

std::vector<Note> Recorder::Notes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_notes;
}

std::vector<Note> Recorder::Of(Kind kind) {
    std::vector<Note> out;
    for (const Note& note : Notes())
        if (note.kind == kind) out.push_back(note);
    return out;
}

size_t Recorder::Count(Kind kind, const std::string& text) {
    size_t n = 0;
    for (const Note& note : Notes())
        if (note.kind == kind && (text.empty() || note.text == text)) ++n;
    return n;
}

void Recorder::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_notes.clear();
}

PlayerHarness::PlayerHarness(const std::string& clock, int id)
    : env(clock), player_id(id), speed(std::atof(clock.c_str()) > 0 ? std::atof(clock.c_str()) : 1.0) {
    playlist_dir = env.Dir() + "/lists/";
    mkdir(playlist_dir.c_str(), 0755);
    player = std::make_unique<CPlayer>();
}

PlayerHarness::~PlayerHarness() {
    if (player && player->IsInitialized()) player->Deinitialize();
    player.reset();
}

int PlayerHarness::Start(const StreamParams& params) {
    PlayerInit init;
    init.player_id = player_id;
    init.playlist_dir = playlist_dir;
    init.media_dir = media_dir;
    init.log_prefix = "TEST :";
    const int r = player->Initialize(init, params);
    player->SetDelegate(&recorder, 7);
    player->SetFadeListener(&recorder);
    return r;
}

void PlayerHarness::WritePlaylist(const std::string& name, const std::vector<std::string>& lines) {
    std::ofstream out(playlist_dir + name);
    for (const std::string& line : lines) out << line << "\n";
}

PlaybackItem PlayerHarness::Item(const std::string& name, int repeat) {
    PlaybackItem item;
    item.name = name;
    item.interrupt = 1;
    item.repeat_count = repeat;
    item.volume = 80;
    item.auto_fade_streams = 0;
    item.auto_fade_tracks = 0;
    return item;
}

void PlayerHarness::FinishRecording() {
    // At most a device buffer (under a second of audio) is still queued; the card records
    // it as it plays, with the player still holding the device.
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(1000 / speed) + 100));
}

std::vector<int> PlayerHarness::ToneOrder(const std::vector<int>& tones) {
    vcard::Wav wav;
    std::vector<int> order;
    if (vcard::ReadWav(env.WavPath("channel" + std::to_string(player_id)), &wav) != 0) return order;
    const size_t window = wav.rate / 20;  // 50 ms
    int last = 0;
    int run = 0;
    for (size_t first = 0; first + window <= wav.Frames(); first += window) {
        const double hz = vcard::DominantFrequency(wav, 0, first, window);
        int tone = 0;
        for (int t : tones)
            if (std::fabs(hz - t) < t * 0.05) tone = t;
        if (tone == 0) continue;
        // Two windows in a row name a tone: a single window may straddle a track change.
        run = tone == last ? run + 1 : 1;
        last = tone;
        if (run == 2 && (order.empty() || order.back() != tone)) order.push_back(tone);
    }
    return order;
}

long PlayerHarness::Mixer(const std::string& element) {
    long value = -1;
    vcard::ReadMixer(env.Dir(), element, &value);
    return value;
}

bool PlayerHarness::WaitMixer(const std::string& element, long value, int limit_ms) {
    const auto end = Deadline(limit_ms);
    while (Mixer(element) != value) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace enginetest
