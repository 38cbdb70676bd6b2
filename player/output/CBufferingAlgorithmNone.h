#pragma once

#include <cstdint>

#include "player/output/IBufferingAlgorithm.h"
#include "utils/APlayerInfoAdapter.h"

namespace BufferingAlgorithm {

// Pass-through algorithm for non-RTP streams: every block unchanged, losses ignored.
class CBufferingAlgorithmNone final : public IBufferingAlgorithm, public APlayerInfoAdapter {
public:
    explicit CBufferingAlgorithmNone(uint32_t rate = 48000) : m_rate(rate) {
        APlayerInfoAdapter::set_player_prefix(kDefaultPrefix);
    }

    void SetSampleRate(uint32_t rate) override { m_rate = rate; }
    void SetParameters(int level_ms, int acc_ms) override {
        m_level_ms = level_ms;
        m_acc_ms = acc_ms;
    }
    int WriteFrame(uint64_t level, uint32_t samples, bool running, uint64_t* out,
                   uint32_t lost) override;
    int64_t MsToTicks(int ms) override { return ms_to_ticks(m_rate, ms); }
    int TicksToMs(int64_t ticks) override { return ticks_to_ms(m_rate, ticks); }
    void set_player_prefix(const char* text) override;

private:
    uint32_t m_rate;
    int32_t m_level_ms = 0;  // kept for diagnostics; not used
    int32_t m_acc_ms = 0;    // kept for diagnostics; not used
};

}  // namespace BufferingAlgorithm
