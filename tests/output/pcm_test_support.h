#pragma once

#include <string>
#include <vector>

#include "player/output/CPCMOutput.h"
#include "tests/support/vcard/VCardTestEnv.h"
#include "utils/CLogger.h"

// Collects every log line while alive.
class PcmLog final {
public:
    PcmLog() : m_mask(utils::log_level_mask.load()) {
        utils::log_level_mask = 0xff;
        utils::logger.set_sink([this](int, const std::string& l) { lines.push_back(l); });
    }
    ~PcmLog() {
        utils::logger.set_sink({});
        utils::log_level_mask = m_mask;
    }
    PcmLog(const PcmLog&) = delete;
    PcmLog& operator=(const PcmLog&) = delete;
    bool Contains(const std::string& text) const {
        for (const auto& l : lines)
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }
    std::vector<std::string> lines;

private:
    int m_mask;
};

inline AudioInfo Format(int bits, int rate, int channels) {
    AudioInfo info;
    info.bits = bits;
    info.rate = rate;
    info.channels = channels;
    return info;
}

inline size_t CountEvents(const std::string& dir, const std::string& pcm, const std::string& name) {
    size_t n = 0;
    for (const auto& e : vcard::ReadEvents(dir, pcm))
        n += e.name == name;
    return n;
}
