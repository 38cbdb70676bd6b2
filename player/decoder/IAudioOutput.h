#pragma once

#include <cstdint>

#include "player/decoder/AudioFormat.h"
#include "player/decoder/IOutputSelector.h"

// A stage that consumes audio: compressed packets (decoders, the chain) or PCM (outputs).
// All calls come from the player's playback thread.
class IAudioOutput : public IOutputSelector {
public:
    ~IAudioOutput() override = default;
    virtual int RestartFeed() = 0;
    virtual int GetDecoderId() = 0;
    // format points to the leading AudioFormat of a whole AudioInfo.
    virtual int SetAudioFormat(const AudioFormat* format) = 0;
    virtual int SetBufferSize(unsigned ms) = 0;
    virtual int ReservedOperation(int, int) = 0;
    // size: bytes for compressed data, frames for PCM. Negative on failure.
    virtual int WriteBuffer(const uint8_t* data, uint16_t size, unsigned int ts) = 0;
    // Codec configuration: the bytes, their length and the demuxer's AVFormatContext.
    virtual void SetExtraData(uint8_t** data, int* size, void* context) = 0;
};
