#pragma once

#include <cstdint>

#include "player/output/IBufferingAlgorithm.h"
#include "utils/APlayerInfoAdapter.h"

namespace BufferingAlgorithm {

// Keeps the audio buffered for an RTP stream near a target level: a smoothed level
// measurement and corrections of one accuracy in size, silence or repetition for losses.
// Playback thread only; no lock.
class CBufferingAlgorithm final : public IBufferingAlgorithm, public APlayerInfoAdapter {
public:
    CBufferingAlgorithm(int level_ms, int acc_ms);

    void SetSampleRate(uint32_t rate) override;
    void SetParameters(int level_ms, int acc_ms) override;
    int WriteFrame(uint64_t level, uint32_t samples, bool running, uint64_t* out,
                   uint32_t lost) override;
    int64_t MsToTicks(int ms) override { return ms_to_ticks(m_rate, ms); }
    int TicksToMs(int64_t ticks) override { return ticks_to_ms(m_rate, ticks); }
    void set_player_prefix(const char* text) override;

    // For diagnostics and tests: the smoothed level in ticks.
    double GetFilteredLevel() const { return m_filtered_level; }

private:
    int write_lost(uint64_t level, uint32_t samples, uint64_t* out, uint32_t lost);
    void correct(uint32_t samples, uint64_t* out);

    uint32_t m_rate = 48000;
    int32_t m_level_ms = 0;
    int64_t m_level_ticks = 0;
    int32_t m_acc_ms = 0;
    int64_t m_acc_ticks = 0;  // also the size of every correction
    double m_filtered_level = 0.0;
    double m_alpha = 0.9992;
};

}  // namespace BufferingAlgorithm
