#include "tests/support/log/LogCapture.h"

#include <chrono>

#include "utils/CLogger.h"

LogCapture::LogCapture() : m_saved_mask(utils::log_level_mask.exchange(0xff)) {
    utils::logger.set_sink([this](int, const std::string& line) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(line);
        m_changed.notify_all();
    });
}

LogCapture::~LogCapture() {
    utils::logger.set_sink({});
    utils::log_level_mask = m_saved_mask;
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

std::vector<std::string> LogCapture::matching(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> found;
    for (const std::string& line : m_lines)
        if (line.find(text) != std::string::npos)
            found.push_back(line);
    return found;
}

size_t LogCapture::count(const std::string& text) const { return matching(text).size(); }

std::string LogCapture::All() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text;
    for (const std::string& line : m_lines)
        text += line + "\n";
    return text;
}

bool LogCapture::WaitFor(const std::string& text, int limit_ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(limit_ms), [&] {
        for (const std::string& line : m_lines)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    });
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}
