// quillon: plays the configured media folder or stream until SIGINT or SIGTERM; SIGHUP
// makes it read its configuration again.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "app/CCommandLine.h"
#include "app/CConfigReload.h"
#include "app/CHealthFileWriter.h"
#include "app/CServiceNotifier.h"
#include "app/CSourceChain.h"
#include "app/CSourceRecheck.h"
#include "app/CTestPlayerDelegate.h"
#include "app/Configuration.h"
#include "app/TlsSetup.h"
#include "player/include/PlayerFactory.h"
#include "player/include/PlayerFailure.h"
#include "player/include/PlayerRuntime.h"
#include "player/include/PlayerStates.h"

namespace {

// The player could not start (bad configuration or failed initialization): -1 as the
// process sees it.
constexpr int kStartFailure = 255;

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// The stop signals are blocked in every thread the engine creates (they inherit the mask)
// and taken with sigwait on the main thread, so the stop runs in normal thread context.
void BlockStopSignals() {
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Outside the engine's thread creation, the stop signals keep their default effect: while
// only this thread accepts them, a stop ends the process as an unhandled one would.
void AllowDefaultStop() {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// SIGHUP stays blocked in every thread for the whole run: one that comes while the
// program starts or ends waits, pending, for the idle loop (or for the end), where
// sigtimedwait takes it. Its default effect would end the program.
void BlockReloadSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Sleeps up to wait_ms; the signal of the set that arrived, or 0.
int WaitForSignal(sigset_t set, int64_t wait_ms) {
    const timespec wait{static_cast<time_t>(wait_ms / 1000), static_cast<long>(wait_ms % 1000) * 1000000L};
    const int signal_number = sigtimedwait(&set, nullptr, &wait);
    return signal_number > 0 ? signal_number : 0;
}

int64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// How often the idle loop refreshes the status file's modification time.
constexpr int64_t kStatusTouchMs = 5000;

int WaitForStop(int64_t wait_ms) { return WaitForSignal(StopSignals(), wait_ms); }

// The idle loop's wait: a stop signal, a reload request (SIGHUP) or 0.
int WaitForStopOrReload(int64_t wait_ms) {
    sigset_t set = StopSignals();
    sigaddset(&set, SIGHUP);
    return WaitForSignal(set, wait_ms);
}

bool IsUrl(const std::string& name) { return name.find("://") != std::string::npos; }

// The idle loop's wake interval: the watchdog's, or shorter while a backup chain needs
// looking after.
int64_t WakeIntervalMs(const app::CServiceNotifier& notifier, const app::CSourceChain& chain) {
    const int64_t interval = notifier.WakeIntervalMs();
    return chain.Active() && app::CSourceChain::kTickMs < interval ? app::CSourceChain::kTickMs
                                                                 : interval;
}

// The status file shows a change of source at once, not only at the next notification.
void ShowSourceChange(OrvanePlayer::IPlayer& player, CTestPlayerDelegate& delegate,
                      const app::SourceReport& sources, int before, uint64_t switches_before) {
    if (sources.Get() == before && sources.Switches() == switches_before) return;
    OrvanePlayer::PlaybackInfo info;
    player.GetPlaybackInfo(info);
    delegate.SourceChanged(info);
}

int Shutdown(OrvanePlayer::IPlayer& player) {
    std::puts("main: Player Test: Deinitilaizing ...");
    std::fflush(stdout);
    const int result = OrvanePlayer::DeinitializePlayer(player);
    OrvanePlayer::StopTimerService();
    std::printf("main: Player Test: Deinitilaizing returned %d\n", result);
    std::printf("main: Sleeping 2s to allow PCM to exit properly.. %d\n", result);
    std::fflush(stdout);
    sleep(2);
    std::printf("Quillon: End. %d\n", result);
    std::fflush(stdout);
    return result;
}

// The stop's idle state reaches the status file (and the agent) before the engine goes: a
// player stopped on purpose must not read as one that died while playing. Bounded, so that
// the stop still ends the process well within two seconds.
void WaitUntilStopped(OrvanePlayer::IPlayer& player) {
    constexpr int64_t kLimitMs = 600;
    constexpr int64_t kPollMs = 20;
    for (int64_t waited = 0; waited < kLimitMs; waited += kPollMs) {
        OrvanePlayer::PlaybackInfo info;
        player.GetPlaybackInfo(info);
        if (info.m_player_state == OrvanePlayer::PLAYER_STATE_IDLE) return;
        WaitForStop(kPollMs);
    }
}

// SIGINT ends with its number as the status, as it always did; SIGTERM, the service
// manager's stop, is an ordinary end and exits with 0.
int OnStopSignal(OrvanePlayer::IPlayer& player, int signal_number) {
    std::printf("Interrupt signal (%d) received.\n", signal_number);
    std::fflush(stdout);
    player.Stop(true);
    WaitUntilStopped(player);
    OrvanePlayer::DeinitializePlayer(player);
    OrvanePlayer::StopTimerService();
    return signal_number == SIGINT ? SIGINT : 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    // The console may be a pipe or the journal's socket: a reader that goes away (a journal
    // restarted, "quillon | head") leaves its lines unwritten (EPIPE) instead of ending the
    // player, which a service manager would take for a clean stop and not restart.
    signal(SIGPIPE, SIG_IGN);
    app::CCommandLine command_line;
    BlockReloadSignal();
    if (!command_line.Parse(argc, argv)) return command_line.ExitStatus();

    BlockStopSignals();
    OrvanePlayer::StartTimerService();
    AllowDefaultStop();

    OrvanePlayer::OpenEngineLog("quillon player", 63);

    OrvanePlayer::PlaybackItem item;
    OrvanePlayer::StreamParams params;
    OrvanePlayer::PlayerInit init;
    app::SetEntryDefaults(item, params, init);
    OrvanePlayer::PlayerPtr player = OrvanePlayer::CreatePlayer();
    auto delegate = std::make_unique<CTestPlayerDelegate>(command_line.StatusFilePath());
    // The context is the player's address, cut to the record's 32 bits on 64-bit hosts.
    player->SetDelegate(delegate.get(),
                        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(player.get())));

    std::string version;
    player->GetVersion(version);
    std::printf("Starting Quillon v1.1 with player library version (%s)\n", version.c_str());
    std::fflush(stdout);

    if (app::ReadConfiguration(command_line.ConfigPath(), command_line.MediaRoot(), item, params,
                               init) != 0) {
        std::puts("Error parsing config and setting player params.");
        std::fflush(stdout);
        delegate.reset();
        player.reset();
        OrvanePlayer::StopTimerService();
        return kStartFailure;
    }
    if (command_line.Channel() != 0) init.player_id = command_line.Channel();
    app::PlayerSetup setup{item, params, init, {}, {}};
    if (IsUrl(item.name))
        app::ReadBackupSources(command_line.ConfigPath(), command_line.MediaRoot(), setup.backups);
    app::SourceReport sources;
    delegate->SetSourceReport(&sources);
    app::ApplyTlsSettings(*player, app::ReadTlsSettings(command_line.ConfigPath()));
    const std::string rtp_source = app::ReadRtpSource(command_line.ConfigPath());
    OrvanePlayer::SetRtpSource(*player, rtp_source);
    setup.rtp_source = rtp_source;
    delegate->SetPlayer(player.get());

    BlockStopSignals();
    if (OrvanePlayer::InitializePlayer(*player, init, params) != 0) {
        std::puts("Error initilizing Quillon! Check config (media folder may be missing).");
        std::fflush(stdout);
        // A service manager must see the failure to restart the player.
        Shutdown(*player);
        return kStartFailure;
    }

    app::CSourceRecheck recheck;
    const auto probe_settings = [&command_line](const app::PlayerSetup& current) {
        return app::CSourceRecheck::ProbeSettings{app::ReadTlsSettings(command_line.ConfigPath()),
                                                  current.rtp_source};
    };
    app::CItemSwitcher switcher(init);
    app::CSourceChain chain(
        command_line.MediaRoot(), switcher, sources, recheck,
        [&player, &delegate] {
            // The engine's cause of a failure that stands, else the latest error's words.
            OrvanePlayer::PlaybackFailure failure;
            OrvanePlayer::GetPlaybackFailure(*player, failure);
            return failure.active && !failure.reason.empty() ? failure.reason : delegate->LatestFailure();
        }, [&delegate] { delegate->ForgetFailure(); },
        app::CSourceChain::TimeScaleFromEnvironment());
    chain.Configure(setup, true, MonotonicMs());
    if (chain.Active()) recheck.Start(params, init.player_id, probe_settings(setup));
    player->SetItem(item);
    player->FadeAndPlay(0, item.volume);
    app::CHealthFileWriter health(*player, command_line.StatusFilePath() + ".health");
    health.SetSourceReport(&sources);
    health.Start();
    app::CConfigReload reload(command_line.ConfigPath(), command_line.MediaRoot(),
                              command_line.Channel(), setup, switcher);
    app::CServiceNotifier notifier;
    notifier.Ready();
    int signal_number = 0;
    int64_t last_touch_ms = MonotonicMs();
    const auto engine_lost = [&] {
        notifier.Stopping();
        recheck.Stop();
        health.Stop();
        Shutdown(*player);
        return kStartFailure;
    };
    while ((signal_number = WaitForStopOrReload(WakeIntervalMs(notifier, chain))) == 0 ||
           signal_number == SIGHUP) {
        const int source_before = sources.Get();
        const uint64_t switches_before = sources.Switches();
        if (signal_number == SIGHUP) {
            notifier.Reloading();
            const app::CConfigReload::Result result = reload.Reload(*player, *delegate, WaitForStop);
            if (result == app::CConfigReload::Result::kStopped) {
                signal_number = reload.StopSignal();
                break;
            }
            if (result == app::CConfigReload::Result::kEngineLost) return engine_lost();
            if (result != app::CConfigReload::Result::kRefused)
                recheck.SetSettings(probe_settings(reload.Current()));
            if (result == app::CConfigReload::Result::kSwitched ||
                result == app::CConfigReload::Result::kBackupsChanged) {
                chain.Configure(reload.Current(), result == app::CConfigReload::Result::kSwitched,
                                MonotonicMs());
                if (chain.Active())
                    recheck.Start(reload.Current().params, init.player_id, probe_settings(reload.Current()));
            }
            notifier.Ready();
        }
        const app::CSourceChain::Result moved = chain.Tick(*player, MonotonicMs(), WaitForStop);
        if (moved == app::CSourceChain::Result::kStopped) {
            signal_number = chain.StopSignal();
            break;
        }
        if (moved == app::CSourceChain::Result::kEngineLost) return engine_lost();
        ShowSourceChange(*player, *delegate, sources, source_before, switches_before);
        notifier.KeepAlive();
        if (MonotonicMs() - last_touch_ms >= kStatusTouchMs) {
            delegate->TouchStatusFile();
            last_touch_ms = MonotonicMs();
        }
    }
    notifier.Stopping();
    recheck.Stop();
    health.Stop();
    return OnStopSignal(*player, signal_number);
}
