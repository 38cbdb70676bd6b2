#include "player/output/CBufferingAlgorithmNone.h"

#include <string>

namespace BufferingAlgorithm {

int CBufferingAlgorithmNone::WriteFrame(uint64_t, uint32_t samples, bool, uint64_t* out, uint32_t) {
    *out = samples;
    return WRITE_BLOCK;
}

void CBufferingAlgorithmNone::set_player_prefix(const char* text) {
    APlayerInfoAdapter::set_player_prefix((std::string(text ? text : "") + " BUFFERING:").c_str());
}

}  // namespace BufferingAlgorithm
