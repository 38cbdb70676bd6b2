#include "LogCapture.h"

#include "utils/CLogger.h"

LogCapture::LogCapture() : m_saved_mask(utils::log_level_mask.load()) {
    utils::log_level_mask = 63;
    utils::logger.set_sink([this](int, const std::string& line) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_lines.push_back(line);
    });
}

LogCapture::~LogCapture() {
    utils::logger.set_sink(nullptr);
    utils::log_level_mask = m_saved_mask;
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lines;
}

int LogCapture::count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_lock);
    int n = 0;
    for (const auto& line : m_lines)
        if (line.find(text) != std::string::npos)
            ++n;
    return n;
}
