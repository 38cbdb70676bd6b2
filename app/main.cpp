// quillon: plays the configured media folder or stream until SIGINT.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "app/CTestPlayerDelegate.h"
#include "app/Configuration.h"
#include "app/Paths.h"
#include "player/engine/CPlayer.h"
#include "utils/CLogger.h"
#include "utils/CTimer.h"

namespace {

sigset_t InterruptSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    return set;
}

// SIGINT is blocked in every thread the engine creates (they inherit the mask) and taken
// with sigwait on the main thread, so the stop runs in normal thread context.
void BlockInterrupt() {
    const sigset_t set = InterruptSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Outside the engine's thread creation, SIGINT keeps its default effect: while only this
// thread accepts it, an interrupt ends the process as an unhandled one would.
void AllowDefaultInterrupt() {
    signal(SIGINT, SIG_DFL);
    const sigset_t set = InterruptSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// Sleeps up to one second; true when SIGINT arrived.
bool WaitForInterrupt() {
    const sigset_t set = InterruptSet();
    const timespec one_second{1, 0};
    return sigtimedwait(&set, nullptr, &one_second) == SIGINT;
}

int Shutdown(CPlayer& player) {
    std::puts("main: Player Test: Deinitilaizing ...");
    std::fflush(stdout);
    const int result = player.Deinitialize();
    utils::CTimer::instance().stop();
    std::printf("main: Player Test: Deinitilaizing returned %d\n", result);
    std::printf("main: Sleeping 2s to allow PCM to exit properly.. %d\n", result);
    std::fflush(stdout);
    sleep(2);
    std::printf("Quillon: End. %d\n", result);
    std::fflush(stdout);
    return 0;
}

int OnInterrupt(CPlayer& player) {
    std::printf("Interrupt signal (%d) received.\n", SIGINT);
    std::fflush(stdout);
    player.Stop(true);
    player.Deinitialize();
    utils::CTimer::instance().stop();
    return SIGINT;
}

}  // namespace

int main() {
    BlockInterrupt();
    utils::CTimer::instance().start();
    AllowDefaultInterrupt();

    utils::logger.init("quillon player");
    utils::log_level_mask = 63;

    OrvanePlayer::PlaybackItem item;
    OrvanePlayer::StreamParams params;
    OrvanePlayer::PlayerInit init;
    app::SetEntryDefaults(item, params, init);
    auto player = std::make_unique<CPlayer>();
    auto delegate = std::make_unique<CTestPlayerDelegate>(app::status_file_path());
    // The context is the player's address, cut to the record's 32 bits on 64-bit hosts.
    player->SetDelegate(delegate.get(),
                        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(player.get())));

    std::string version;
    player->GetVersion(version);
    std::printf("Starting Quillon v1.1 with player library version (%s)\n", version.c_str());
    std::fflush(stdout);

    if (app::ReadConfiguration(item, params, init) != 0) {
        std::puts("Error parsing config and setting player params.");
        std::fflush(stdout);
        delegate.reset();
        player.reset();
        utils::CTimer::instance().stop();
        return -1;
    }

    BlockInterrupt();
    if (player->Initialize(init, params) != 0) {
        std::puts("Error initilizing Quillon! Check config (media folder may be missing).");
        std::fflush(stdout);
        return Shutdown(*player);
    }

    player->SetItem(item);
    player->FadeAndPlay(0, item.volume);
    while (!WaitForInterrupt()) {
    }
    return OnInterrupt(*player);
}
