#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Seconds-granular watchdog for blocking source operations, on the monotonic clock so that
// a step of the wall clock neither hides nor fakes a stall. The player may call
// Interrupt() and SetTimeout() from another thread while the reader checks IsExpired(),
// so the two words are atomic; the names are set once at construction.
class CTimeout_handler {
public:
    CTimeout_handler() = default;
    virtual ~CTimeout_handler() = default;

    // Start time := now.
    void Restart();
    // True once more than `timeout` whole seconds have passed since Restart(),
    // and at once after Interrupt() (timeout -1).
    bool IsExpired() const;
    void SetTimeout(int32_t seconds) { m_timeout.store(seconds); }
    int32_t GetTimeout() const { return m_timeout.load(); }
    // Custom interrupt: the next IsExpired() reports a time-out.
    void Interrupt() { m_timeout.store(-1); }
    void SetName(const std::string& text) { m_name = text; }
    void SetDetail(const std::string& text) { m_detail = text; }
    const std::string& GetName() const { return m_name; }
    const std::string& GetDetail() const { return m_detail; }

protected:
    // Seam for the clock so the whole-second rule can be checked without sleeping.
    virtual int64_t Now() const;

private:
    std::atomic<int32_t> m_timeout{10};     // seconds; -1 marks a custom interrupt
    std::atomic<int64_t> m_start_time{0};   // whole seconds of the monotonic clock
    std::string m_name = "CTimeout_handler";  // player thread only
    std::string m_detail;                     // player thread only
};
