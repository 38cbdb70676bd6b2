#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

// Collects every line the logger writes, at every level, while it lives; restores the level
// mask afterwards. Lines may arrive from any thread.
class LogCapture final {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    // The captured lines that contain text, and how many there are.
    std::vector<std::string> matching(const std::string& text) const;
    size_t count(const std::string& text) const;
    bool Contains(const std::string& text) const { return count(text) > 0; }
    // Every line, one per row, for failure messages.
    std::string All() const;
    // Waits until a line containing text has been logged.
    bool WaitFor(const std::string& text, int limit_ms = 20000);
    void clear();

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;  // guarded by m_mutex
    int m_saved_mask;
};
