#include "app/CServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <ctime>

namespace app {

namespace {

int64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

CServiceNotifier::CServiceNotifier() {
    uint64_t usec = 0;
    // 0 keeps WATCHDOG_USEC for the engine's threads to ignore; only this thread pings.
    if (sd_watchdog_enabled(0, &usec) > 0) m_watchdog_usec = usec;
}

void CServiceNotifier::Ready() const { sd_notify(0, "READY=1"); }

void CServiceNotifier::Stopping() const { sd_notify(0, "STOPPING=1"); }

void CServiceNotifier::Reloading() const { sd_notify(0, "RELOADING=1"); }

void CServiceNotifier::KeepAlive() {
    if (m_watchdog_usec == 0) return;
    const int64_t now = MonotonicMs();
    if (now - m_last_ping_ms < WakeIntervalMs()) return;
    m_last_ping_ms = now;
    sd_notify(0, "WATCHDOG=1");
}

int64_t CServiceNotifier::WakeIntervalMs() const {
    if (m_watchdog_usec == 0) return 1000;
    // Half the interval, as systemd advises, and never longer than the usual second.
    return std::max<int64_t>(1, std::min<int64_t>(1000, static_cast<int64_t>(m_watchdog_usec / 2000)));
}

}  // namespace app
