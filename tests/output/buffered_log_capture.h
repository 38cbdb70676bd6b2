#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "utils/CLogger.h"

// Captures every log line (all levels) while it exists.
class BufferedLogCapture {
public:
    BufferedLogCapture() : m_old_mask(utils::log_level_mask.exchange(0xff)) {
        utils::logger.set_sink([this](int, const std::string& line) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(line);
        });
    }
    ~BufferedLogCapture() {
        utils::logger.set_sink({});
        utils::log_level_mask = m_old_mask;
    }
    BufferedLogCapture(const BufferedLogCapture&) = delete;
    BufferedLogCapture& operator=(const BufferedLogCapture&) = delete;

    std::vector<std::string> matching(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> out;
        for (const auto& l : m_lines)
            if (l.find(text) != std::string::npos)
                out.push_back(l);
        return out;
    }
    size_t count(const std::string& text) { return matching(text).size(); }
    void clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

private:
    int m_old_mask;
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};
