#pragma once

#include <mutex>
#include <string>
#include <vector>

// Collects every log line while alive and lets all levels through; restores the mask after.
class LogCapture final {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    // How many captured lines contain text.
    int count(const std::string& text) const;

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_lines;  // guarded by m_lock
    int m_saved_mask;
};
