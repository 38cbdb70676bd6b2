#pragma once

#include <atomic>
#include <cstdint>

namespace app {

// Which source of the backup chain plays and how often the player moved between them.
// Written by the main thread; read by the delegate (player thread) and the health writer.
class SourceReport final {
public:
    enum Source : int { kNone = -1, kMain = 0, kBackup1, kBackup2, kFallback };

    // The name in the status and health files: "main", "backup1", "backup2", "fallback".
    static const char* Name(int source) {
        switch (source) {
            case kMain: return "main";
            case kBackup1: return "backup1";
            case kBackup2: return "backup2";
            case kFallback: return "fallback";
            default: return "";
        }
    }

    // kNone: no backup is configured, the files carry no source.
    void Set(int source) { m_source = source; }
    int Get() const { return m_source; }
    void AddSwitch() { ++m_switches; }
    // The chain's failover_s, for readers that judge how long a source may be silent.
    void SetFailoverSeconds(int32_t seconds) { m_failover_s = seconds; }
    int32_t FailoverSeconds() const { return m_failover_s; }
    uint64_t Switches() const { return m_switches; }

private:
    std::atomic<int> m_source{kNone};
    std::atomic<uint64_t> m_switches{0};
    std::atomic<int32_t> m_failover_s{0};
};

}  // namespace app
