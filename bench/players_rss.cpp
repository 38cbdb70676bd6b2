// Memory of N players in one process, one per channel (1..N), as a device with four
// outputs would run them: each plays the same item (a local file or a stream URL) for a
// few seconds; prints the process's resident memory (private and file-backed parts) and
// its peak. Run: bench/players_rss <media dir> <file|url> [players (1..4)] [seconds]
// on the virtual card (ALSA_CONFIG_PATH, VCARD_DIR). bench/compare.py runs it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <orvaneplayer/IPlayer.h>
#include <orvaneplayer/PlayerFactory.h>
#include <orvaneplayer/PlayerRuntime.h>

namespace {

// kB values of /proc/self/status lines.
long StatusKb(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line))
        if (line.compare(0, prefix.size(), prefix) == 0) return std::atol(line.c_str() + prefix.size());
    return -1;
}

void PrintMemory(const char* when) {
    std::printf("%-28s RSS %6ld kB (private %6ld kB, files %6ld kB), peak %6ld kB\n", when, StatusKb("VmRSS"),
                StatusKb("RssAnon"), StatusKb("RssFile"), StatusKb("VmHWM"));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <media dir> <file|url> [players 1..4] [seconds]\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    if (dir.empty() || dir.back() != '/') dir += '/';
    const int count = argc > 3 ? std::atoi(argv[3]) : 4;
    const int seconds = argc > 4 ? std::atoi(argv[4]) : 4;
    if (count < 1 || count > 4) return 2;
    OrvanePlayer::StartTimerService();
    PrintMemory("libraries loaded");
    std::vector<OrvanePlayer::PlayerPtr> players;
    for (int id = 1; id <= count; ++id) {
        OrvanePlayer::PlayerInit init;
        init.player_id = id;
        init.playlist_dir = dir;
        init.media_dir = dir;
        init.log_prefix = "RSS :";
        OrvanePlayer::PlayerPtr player = OrvanePlayer::CreatePlayer();
        if (OrvanePlayer::InitializePlayer(*player, init, OrvanePlayer::StreamParams()) != 0) {
            std::fprintf(stderr, "player %d could not be initialized\n", id);
            return 1;
        }
        players.push_back(std::move(player));
    }
    PrintMemory("players initialized");
    for (auto& player : players) {
        OrvanePlayer::PlaybackItem item;
        item.name = argv[2];
        item.interrupt = 1;
        item.volume = 50;
        item.repeat_count = -1;
        player->SetItem(item);
        player->Play();
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    char label[64];
    std::snprintf(label, sizeof label, "%d player%s playing", count, count > 1 ? "s" : "");
    PrintMemory(label);
    for (auto& player : players) OrvanePlayer::DeinitializePlayer(*player);
    players.clear();
    OrvanePlayer::StopTimerService();
    return 0;
}
