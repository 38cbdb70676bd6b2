#pragma once

#include "player/decoder/IAudioOutput.h"

// A sink that absorbs everything: used while a second source only reads a track's tags.
class CAudioOutputDummy final : public IAudioOutput {
public:
    int SetDecoderId(int) override { return 0; }
    int RestartFeed() override { return 0; }
    int GetDecoderId() override { return 0; }
    int SetAudioFormat(const AudioFormat*) override { return 0; }
    int SetBufferSize(unsigned) override { return 0; }
    int ReservedOperation(int, int) override { return 0; }
    int WriteBuffer(const uint8_t*, uint16_t, unsigned int) override { return 0; }
    void SetExtraData(uint8_t**, int*, void*) override {}
};
