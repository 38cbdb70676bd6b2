#pragma once
// Test support for engine scenarios: a delegate that records every notification, a fade
// listener, a log capture and a fixture that runs a real CPlayer on the virtual card.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "player/engine/CPlayer.h"
#include "player/include/IPlayerDelegate.h"
#include "tests/support/log/LogCapture.h"
#include "tests/support/net/FreePorts.h"
#include "tests/support/vcard/VCardTestEnv.h"

namespace enginetest {

enum class Kind {
    ItemFinished,
    TrackFinished,
    CommandExecuted,
    StateChanged,
    TrackStarted,
    ItemStarted,
    ItemMissing,
    Error,
    InfoChanged,
    FadeEnd,
    TrackFadeIn,
};

struct Note {
    Kind kind;
    OrvanePlayer::PlaybackInfo info;
    std::string text;  // item, track, missing name or state name
    int code = 0;      // error code or fade-end kind
    bool flag = false; // partially, last track or is-stream
};

// Records notifications and fade-listener calls; tests wait on predicates over them.
class Recorder final : public OrvanePlayer::IPlayerDelegate, public OrvanePlayer::IFadeListener {
public:
    void NotifyItemPlaybackFinished(const OrvanePlayer::PlaybackInfo& info, const std::string& item) override;
    void NotifyTrackPlaybackFinished(const OrvanePlayer::PlaybackInfo& info, const std::string& track,
                                     bool partially) override;
    void NotifyPlaybackCommandExecuted(const OrvanePlayer::PlaybackInfo& info) override;
    void NotifyPlaybackStateChanged(const OrvanePlayer::PlaybackInfo& info, const char* state) override;
    void NotifyTrackPlaybackStarted(const OrvanePlayer::PlaybackInfo& info, bool last) override;
    void NotifyItemPlaybackStarted(const OrvanePlayer::PlaybackInfo& info) override;
    void NotifyPlaybackItemMissing(const OrvanePlayer::PlaybackInfo& info, const std::string& name) override;
    void NotifyPlaybackError(const OrvanePlayer::PlaybackInfo& info, int code) override;
    void NotifyPlaybackInfoChanged(const OrvanePlayer::PlaybackInfo& info) override;
    void OnFadeEnd(OrvanePlayer::PlaybackInfo info, bool is_stream, const unsigned* kind) override;
    void OnTrackFadeIn(const OrvanePlayer::PlaybackInfo& info) override;

    // Waits (up to a generous limit that only guards against a hang) until pred holds.
    bool WaitFor(const std::function<bool(const std::vector<Note>&)>& pred, int limit_ms = 20000);
    // Waits until at least n notes of the kind arrived (optionally matching text).
    bool WaitCount(Kind kind, size_t n, const std::string& text = "", int limit_ms = 20000);
    // Waits until the latest state change names the state.
    bool WaitState(int state, int limit_ms = 20000);
    // Waits until the player thread finished a pass of commands and rests in idle (after
    // a stop: every notification of the stop has arrived).
    bool WaitSettledIdle(int limit_ms = 20000);
    std::vector<Note> Notes();
    std::vector<Note> Of(Kind kind);
    size_t Count(Kind kind, const std::string& text = "");
    void Clear();

private:
    void Add(Note note);

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Note> m_notes;  // guarded by m_mutex
};

// A running player on channel 1 of a fresh virtual card, media from the build.
class PlayerHarness {
public:
    explicit PlayerHarness(const std::string& clock = "8", int player_id = 1);
    ~PlayerHarness();

    int Start(const OrvanePlayer::StreamParams& params = OrvanePlayer::StreamParams());
    // Writes a playlist into the playlist folder.
    void WritePlaylist(const std::string& name, const std::vector<std::string>& lines);
    OrvanePlayer::PlaybackItem Item(const std::string& name, int repeat = 0);
    // Lets the device play out what it holds; the recording is then complete.
    void FinishRecording();
    // The sequence of tones (Hz, rounded) recorded on the channel, runs collapsed.
    std::vector<int> ToneOrder(const std::vector<int>& tones);
    long Mixer(const std::string& element);
    // The card writes its mixer state file as it goes: wait until it shows the value.
    bool WaitMixer(const std::string& element, long value, int limit_ms = 3000);

    vcard::VCardTestEnv env;
    LogCapture log;
    Recorder recorder;
    std::unique_ptr<CPlayer> player;
    std::string playlist_dir;
    std::string media_dir = ENGINE_TEST_MEDIA "/";
    int player_id;
    double speed;
};

// Milliseconds on a monotonic clock, for benchmarks and diagnostics.
double NowMs();

using testkit::UnusedPort;
using testkit::UnusedRtpPort;

}  // namespace enginetest
