#pragma once

#include <cstdint>

namespace app {

// Tells a service manager (systemd, Type=notify) how the player is doing: ready once the
// engine runs, stopping on the way out, alive while the watchdog is on. Every call does
// nothing when the program was not started with a notification socket. Main thread.
class CServiceNotifier final {
public:
    CServiceNotifier();

    void Ready() const;
    void Stopping() const;
    // Reading the configuration again; Ready() tells the end of it.
    void Reloading() const;
    // Sends a watchdog ping when the service has a watchdog and the last ping lies half
    // its interval back.
    void KeepAlive();

    // Longest sleep that still keeps the watchdog fed, in ms; 1000 without a watchdog.
    int64_t WakeIntervalMs() const;

private:
    uint64_t m_watchdog_usec = 0;  // 0: no watchdog
    int64_t m_last_ping_ms = 0;
};

}  // namespace app
