#pragma once

#include <string>
#include <vector>

#include "utils/CLogger.h"

// Collects every log line while alive, at all levels.
class LogCapture final {
public:
    LogCapture() : m_saved_mask(utils::log_level_mask.load()) {
        utils::log_level_mask = 0xff;
        utils::logger.set_sink([this](int, const std::string& line) { lines.push_back(line); });
    }
    ~LogCapture() {
        utils::logger.set_sink({});
        utils::log_level_mask = m_saved_mask;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool Contains(const std::string& text) const {
        for (const std::string& l : lines)
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }

    std::vector<std::string> lines;

private:
    int m_saved_mask;
};
