#pragma once

#include <cstdint>

namespace BufferingAlgorithm {

// Decides, block by block, how many frames a buffered output stores. Levels are in
// ticks: one tick is one frame at the algorithm's sample rate.
// Called from the playback thread only (or while the output is not being written).
class IBufferingAlgorithm {
public:
    virtual ~IBufferingAlgorithm() = default;

    virtual void SetSampleRate(uint32_t rate) = 0;
    virtual void SetParameters(int level_ms, int acc_ms) = 0;
    // level: audio buffered ahead of the device; samples: frames in the new block;
    // running: the device is playing; lost: packets lost just before this block.
    // Result 0: produce *out frames from the block (repeated or cut);
    // 1: produce *out frames of silence instead; 2: drop that many frames of output.
    virtual int WriteFrame(uint64_t level, uint32_t samples, bool running, uint64_t* out,
                           uint32_t lost) = 0;
    virtual int64_t MsToTicks(int ms) = 0;
    virtual int TicksToMs(int64_t ticks) = 0;
    virtual void set_player_prefix(const char* text) = 0;

    enum : int { WRITE_BLOCK = 0, WRITE_SILENCE = 1, DROP_OUTPUT = 2 };

protected:
    // Shared conversions: product first, then the division (truncating toward zero).
    static int64_t ms_to_ticks(uint32_t rate, int ms) {
        return static_cast<int64_t>(rate) * ms / 1000;
    }
    static int ticks_to_ms(uint32_t rate, int64_t ticks) {
        return rate == 0 ? 0 : static_cast<int>(ticks * 1000 / static_cast<int64_t>(rate));
    }
};

}  // namespace BufferingAlgorithm
