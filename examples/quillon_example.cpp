// Plays one file, playlist or URL through the player engine and prints what the engine
// reports, until the item ends or Ctrl-C.
//
//   quillon_example <media dir> <name> [player id]
//
// <name> is a file or M3U playlist relative to <media dir>, or a URL. It includes nothing
// but the engine's public headers and links its shared library:
//   find_package(OrvanePlayer CONFIG) and OrvanePlayer::orvaneplayer, or
//   pkg-config --cflags --libs orvaneplayer
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include <orvaneplayer/IPlayer.h>
#include <orvaneplayer/IPlayerDelegate.h>
#include <orvaneplayer/PlayerFactory.h>
#include <orvaneplayer/PlayerHealth.h>

namespace {

std::atomic<bool> g_interrupted{false};

void on_signal(int) { g_interrupted = true; }

// Prints every notification; remembers when the item is over.
class PrintingDelegate final : public OrvanePlayer::IPlayerDelegate {
public:
    void NotifyItemPlaybackFinished(const OrvanePlayer::PlaybackInfo&, const std::string& item) override {
        std::printf("item finished: %s\n", item.c_str());
        Finish();
    }
    void NotifyTrackPlaybackFinished(const OrvanePlayer::PlaybackInfo&, const std::string& track,
                                     bool partially) override {
        std::printf("track finished: %s%s\n", track.c_str(), partially ? " (partially)" : "");
    }
    void NotifyPlaybackCommandExecuted(const OrvanePlayer::PlaybackInfo&) override {}
    void NotifyPlaybackStateChanged(const OrvanePlayer::PlaybackInfo& info, const char* state) override {
        std::printf("state: %s (%d)\n", state, info.m_player_state);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (info.m_player_state != OrvanePlayer::PLAYER_STATE_IDLE) m_started = true;
        else if (m_started) m_done = true;
        m_changed.notify_all();
    }
    void NotifyTrackPlaybackStarted(const OrvanePlayer::PlaybackInfo& info, bool last) override {
        std::printf("track started: %s [%s] song id %d, next [%s]%s\n", info.m_curr_music_file.c_str(),
                    info.m_curr_song_name.c_str(), info.m_song_id, info.m_next_song_name.c_str(),
                    last ? ", last track" : "");
    }
    void NotifyItemPlaybackStarted(const OrvanePlayer::PlaybackInfo& info) override {
        std::printf("item started: %s\n", info.m_playlist_name.c_str());
    }
    void NotifyPlaybackItemMissing(const OrvanePlayer::PlaybackInfo&, const std::string& name) override {
        std::printf("missing: %s\n", name.c_str());
    }
    void NotifyPlaybackError(const OrvanePlayer::PlaybackInfo&, int code) override {
        std::printf("error: %s\n", OrvanePlayer::PlayerErrorText(code));
    }
    void NotifyPlaybackInfoChanged(const OrvanePlayer::PlaybackInfo& info) override {
        std::printf("now playing: %s\n", info.m_curr_song_name.c_str());
    }

    // Waits until the player went back to idle after playing, or Ctrl-C.
    void WaitForEnd() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_done && !g_interrupted) m_changed.wait_for(lock, std::chrono::milliseconds(200));
    }

private:
    void Finish() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done = true;
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_started = false;  // guarded by m_mutex
    bool m_done = false;     // guarded by m_mutex
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <media dir> <file|playlist|url> [player id]\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    if (dir.empty() || dir.back() != '/') dir += '/';

    OrvanePlayer::PlayerInit init;
    init.player_id = argc > 3 ? std::atoi(argv[3]) : 0;
    init.playlist_dir = dir;
    init.media_dir = dir;
    init.log_prefix = "EXAMPLE :";
    OrvanePlayer::StreamParams params;
    params.tcp_delay_ms = 2000;
    params.tcp_accuracy_ms = 500;
    params.tcp_low_threshold_ms = 500;
    params.fade_in_ms = 500;

    OrvanePlayer::PlayerPtr player = OrvanePlayer::CreatePlayer();
    PrintingDelegate delegate;
    if (OrvanePlayer::InitializePlayer(*player, init, params) != 0) {
        std::fprintf(stderr, "the player could not be initialized\n");
        return 1;  // the deleter frees what the failed initialization left
    }
    player->SetDelegate(&delegate, 0);
    std::signal(SIGINT, on_signal);

    OrvanePlayer::PlaybackItem item;
    item.name = argv[2];
    item.interrupt = 1;
    item.volume = 80;
    item.auto_fade_streams = 1;
    player->SetItem(item);
    player->FadeAndPlay(0, 80);

    delegate.WaitForEnd();
    // The end of an item is reported when its last packet was written; the device
    // still holds up to its buffer of audio.
    if (!g_interrupted) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    OrvanePlayer::StreamHealth health;
    if (OrvanePlayer::GetStreamHealth(*player, health) == 0 && health.active)
        std::printf("stream: %u of %u ms buffered, %llu under-runs, %llu reconnects\n", health.buffer_ms,
                    health.target_ms, static_cast<unsigned long long>(health.underruns),
                    static_cast<unsigned long long>(health.reconnects));
    player->Stop(true);
    OrvanePlayer::DeinitializePlayer(*player);
    return 0;
}
