// Prints how quickly the engine reacts: command to state-change notification while a file
// plays and while a stream read is stalled, and SetItem + Play to the first frame at the
// device. Figures are milliseconds over several rounds (min / median / max).
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "player/engine/CPlayer.h"
#include "tests/support/http/HttpTestServer.h"
#include "tests/support/vcard/VCardTestEnv.h"

using namespace OrvanePlayer;

namespace {

double MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

// Remembers when each state was last entered.
class StateClock final : public IPlayerDelegate {
public:
    void NotifyItemPlaybackFinished(const PlaybackInfo&, const std::string&) override {}
    void NotifyTrackPlaybackFinished(const PlaybackInfo&, const std::string&, bool) override {}
    void NotifyPlaybackCommandExecuted(const PlaybackInfo&) override {}
    void NotifyPlaybackStateChanged(const PlaybackInfo& info, const char*) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = info.m_player_state;
        m_when = MonotonicMs();
        ++m_changes;
        m_changed.notify_all();
    }
    void NotifyTrackPlaybackStarted(const PlaybackInfo&, bool) override {}
    void NotifyItemPlaybackStarted(const PlaybackInfo&) override {}
    void NotifyPlaybackItemMissing(const PlaybackInfo&, const std::string&) override {}
    void NotifyPlaybackError(const PlaybackInfo&, int) override {}
    void NotifyPlaybackInfoChanged(const PlaybackInfo&) override {}

    // Waits for a change into state after `since` changes; returns its time or -1.
    double WaitState(int state, int limit_ms = 30000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool ok = m_changed.wait_for(lock, std::chrono::milliseconds(limit_ms),
                                           [&] { return m_state == state; });
        return ok ? m_when : -1.0;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_state = 0;      // guarded by m_mutex
    double m_when = 0.0;  // guarded by m_mutex
    int m_changes = 0;    // guarded by m_mutex
};

void Print(const char* what, std::vector<double> ms) {
    if (ms.empty()) {
        std::printf("%-58s no data\n", what);
        return;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-58s min %7.2f  median %7.2f  max %7.2f ms  (%zu rounds)\n", what, ms.front(),
                ms[ms.size() / 2], ms.back(), ms.size());
}

PlaybackItem Item(const std::string& name) {
    PlaybackItem item;
    item.name = name;
    item.interrupt = 1;
    item.repeat_count = -1;
    item.volume = 80;
    return item;
}

struct Bench {
    vcard::VCardTestEnv env{"1"};
    StateClock clock;
    CPlayer player;

    int Start() {
        PlayerInit init;
        init.player_id = 1;
        init.playlist_dir = std::string(ENGINE_BENCH_MEDIA) + "/";
        init.media_dir = init.playlist_dir;
        init.log_prefix = "BENCH :";
        StreamParams params;
        params.tcp_delay_ms = 500;
        params.tcp_accuracy_ms = 250;
        params.tcp_low_threshold_ms = 250;
        params.fade_in_ms = 250;
        const int r = player.Initialize(init, params);
        player.SetDelegate(&clock, 0);
        return r;
    }

    // Starts the item and waits until it plays (or, for a stalled stream, buffers).
    bool Begin(const std::string& name, int state) {
        player.SetItem(Item(name));
        player.Play();
        return clock.WaitState(state) >= 0;
    }
};

// First frame: the card's "start" event of the device against the SetItem call.
double FirstFrameMs(Bench& b, const std::string& name = "long.mp3") {
    const double before = MonotonicMs();
    const size_t starts = vcard::ReadEvents(b.env.Dir(), "channel1").size();
    b.player.SetItem(Item(name));
    b.player.Play();
    // Through connecting: a player still playing the previous item would answer at once.
    if (b.clock.WaitState(PLAYER_STATE_CONNECTING) < 0 || b.clock.WaitState(PLAYER_STATE_PLAYING) < 0) return -1.0;
    for (int i = 0; i < 2000; ++i) {
        const std::vector<vcard::Event> events = vcard::ReadEvents(b.env.Dir(), "channel1");
        for (size_t k = starts; k < events.size(); ++k)
            if (events[k].name == "start") return events[k].time * 1000.0 - before;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1.0;
}

// When the old audio stopped at the device after a call at t0: the first drop, drain,
// under-run or close of the card after t0. -1 when none came.
double AudioStopMs(Bench& b, double t0) {
    for (int i = 0; i < 400; ++i) {
        for (const vcard::Event& e : vcard::ReadEvents(b.env.Dir(), "channel1")) {
            if (e.name != "drop" && e.name != "drain" && e.name != "xrun" && e.name != "close") continue;
            // An under-run is logged when noticed; "at" says when the queue ran dry.
            const auto at = e.fields.find("at");
            const double when = (e.name == "xrun" && at != e.fields.end() ? std::stod(at->second) : e.time) * 1000.0;
            if (when >= t0) return when - t0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1.0;
}

}  // namespace

int main() {
    Bench b;
    if (b.Start() != 0) {
        std::fprintf(stderr, "engine_bench: the player could not be initialized\n");
        return 1;
    }
    const int rounds = 8;
    std::vector<double> stop_file, next_file, setitem_file, first_frame, stop_stream, next_stream, setitem_stream;
    std::vector<double> stop_cut, next_cut, setitem_cut;

    for (int i = 0; i < rounds; ++i) {
        const double ms = FirstFrameMs(b);
        if (ms >= 0) first_frame.push_back(ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        double t0 = MonotonicMs();
        b.player.Stop(true);
        double t1 = b.clock.WaitState(PLAYER_STATE_IDLE);
        if (t1 >= 0) stop_file.push_back(t1 - t0);
        double cut = AudioStopMs(b, t0);
        if (cut >= 0) stop_cut.push_back(cut);

        if (!b.Begin("long.mp3", PLAYER_STATE_PLAYING)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        t0 = MonotonicMs();
        b.player.PlayNext();
        t1 = b.clock.WaitState(PLAYER_STATE_CONNECTING);
        if (t1 >= 0) next_file.push_back(t1 - t0);
        cut = AudioStopMs(b, t0);
        if (cut >= 0) next_cut.push_back(cut);
        b.clock.WaitState(PLAYER_STATE_PLAYING);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        t0 = MonotonicMs();
        b.player.SetItem(Item("long.mp3"));
        t1 = b.clock.WaitState(PLAYER_STATE_IDLE);
        if (t1 >= 0) setitem_file.push_back(t1 - t0);
        cut = AudioStopMs(b, t0);
        if (cut >= 0) setitem_cut.push_back(cut);
    }

    // A stream that stalls after its first bytes: the player sits in a blocked read.
    testkit::HttpTestServer server(b.env.Dir(), std::string("{\"/stall\": {\"file\": \"") + ENGINE_BENCH_MEDIA +
                                                    "/long.mp3\", \"stall_after\": 120000, "
                                                    "\"headers\": {\"Content-Type\": \"audio/mpeg\"}}}");
    for (int i = 0; server.running() && i < rounds; ++i) {
        if (!b.Begin(server.url("/stall"), PLAYER_STATE_PLAYING)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        double t0 = MonotonicMs();
        b.player.Stop(true);
        double t1 = b.clock.WaitState(PLAYER_STATE_IDLE);
        if (t1 >= 0) stop_stream.push_back(t1 - t0);

        if (!b.Begin(server.url("/stall"), PLAYER_STATE_PLAYING)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        t0 = MonotonicMs();
        b.player.PlayNext();
        t1 = b.clock.WaitState(PLAYER_STATE_CONNECTING);
        if (t1 >= 0) next_stream.push_back(t1 - t0);
        b.clock.WaitState(PLAYER_STATE_PLAYING);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        t0 = MonotonicMs();
        b.player.SetItem(Item(server.url("/stall")));
        t1 = b.clock.WaitState(PLAYER_STATE_IDLE);
        if (t1 >= 0) setitem_stream.push_back(t1 - t0);
    }
    // Streams whose server sends at the audio's pace from the first byte (128 kbit/s is
    // 16000 bytes/s), no burst: the start waits for the buffer delay (500 ms here) and
    // should not wait for much more.
    std::vector<double> first_mp3, first_aac;
    testkit::HttpTestServer paced(
        b.env.Dir(), std::string("{\"/live.mp3\": {\"file\": \"") + ENGINE_BENCH_MEDIA +
                         "/long.mp3\", \"loop\": true, \"rate\": 16000, \"headers\": {\"Content-Type\": "
                         "\"audio/mpeg\"}}, \"/live.aac\": {\"file\": \"" +
                         ENGINE_BENCH_MEDIA +
                         "/long.aac\", \"loop\": true, \"rate\": 16000, \"headers\": {\"Content-Type\": "
                         "\"audio/aac\"}}}");
    for (int i = 0; paced.running() && i < rounds; ++i) {
        double ms = FirstFrameMs(b, paced.url("/live.mp3"));
        if (ms >= 0) first_mp3.push_back(ms);
        ms = FirstFrameMs(b, paced.url("/live.aac"));
        if (ms >= 0) first_aac.push_back(ms);
    }
    b.player.Stop(true);
    b.clock.WaitState(PLAYER_STATE_IDLE);
    b.player.Deinitialize();

    std::printf("Engine responsiveness on the virtual card (real-time clock)\n");
    Print("SetItem + Play of a paced HTTP MP3 stream -> first frame", first_mp3);
    Print("SetItem + Play of a paced HTTP ADTS AAC stream -> first frame", first_aac);
    Print("SetItem + Play of a local file -> first frame at the device", first_frame);
    Print("Stop(true) while a file plays -> idle", stop_file);
    Print("PlayNext() while a file plays -> connecting", next_file);
    Print("SetItem (interrupt on) while a file plays -> idle", setitem_file);
    Print("Stop(true) while a file plays -> old audio stops at the card", stop_cut);
    Print("PlayNext() while a file plays -> old audio stops at the card", next_cut);
    Print("SetItem (interrupt on) while a file plays -> old audio stops", setitem_cut);
    Print("Stop(true) during a stalled stream read -> idle", stop_stream);
    Print("PlayNext() during a stalled stream read -> connecting", next_stream);
    Print("SetItem (interrupt on) during a stalled stream read -> idle", setitem_stream);
    std::printf("(the stream's source timeout is 5 s: figures well below it show the interrupt at work;\n"
                " the streams' buffer delay is 500 ms)\n");
    return 0;
}
