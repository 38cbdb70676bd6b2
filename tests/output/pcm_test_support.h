#pragma once

#include <string>
#include <vector>

#include "player/output/CPCMOutput.h"
#include "tests/support/log/LogCapture.h"
#include "tests/support/vcard/VCardTestEnv.h"
#include "utils/CLogger.h"

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
