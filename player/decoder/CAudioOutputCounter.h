#pragma once

#include <cstdint>

#include "player/decoder/IAudioOutput.h"

// The end of a decoder chain that only counts: how much decoded audio arrived, in
// microseconds at the rate the decoder announced. Playback thread only.
class CAudioOutputCounter final : public IAudioOutput {
public:
    uint64_t AudioMs() const { return m_audio_us / 1000; }
    void Reset() { m_audio_us = 0; }

    int SetDecoderId(int) override { return 0; }
    int RestartFeed() override { return 0; }
    int GetDecoderId() override { return 3; }
    int SetAudioFormat(const AudioFormat* format) override {
        m_rate = format && format->rate > 0 ? static_cast<uint32_t>(format->rate) : 0;
        return 0;
    }
    int SetBufferSize(unsigned) override { return 0; }
    int ReservedOperation(int, int) override { return 0; }
    // size: PCM frames.
    int WriteBuffer(const uint8_t*, uint16_t size, unsigned int) override {
        if (m_rate > 0) m_audio_us += static_cast<uint64_t>(size) * 1000000 / m_rate;
        return 0;
    }
    void SetExtraData(uint8_t**, int*, void*) override {}

private:
    uint32_t m_rate = 0;  // 0 until a decoder announced its format
    uint64_t m_audio_us = 0;
};
