#pragma once

#include <array>
#include <memory>
#include <string>

#include "player/decoder/CAudioOutput.h"

// Owns one decoder per codec and forwards every call to the one selected by decoder id, so
// the source always writes to the same stage. Playback thread only.
class CAudioDecoderChain final : public CAudioOutput {
public:
    CAudioDecoderChain() = default;
    ~CAudioDecoderChain() override;

    // Creates and initialises the MP3, AAC, ADTS and libavcodec decoders. Returns the AAC decoder's
    // result (the only one the player acts on). mpg123_init must have run.
    int CreateChain(const std::string& prefix);
    // Makes every decoder write to out (not owned); the chain itself keeps no dependents.
    void SetDependentOutput(IAudioOutput* out);
    // Releases the decoders and their library handles.
    void DestroyDecoders();

    // Selects decoders[id]; -1 (and no active decoder) for an id without a decoder.
    int SetDecoderId(int id) override;
    int RestartFeed() override;
    int GetDecoderId() override { return -1; }
    int SetAudioFormat(const AudioFormat* format) override;
    int SetBufferSize(unsigned ms) override;
    int ReservedOperation(int a, int b) override;
    int WriteBuffer(const uint8_t* data, uint16_t size, unsigned int ts) override;
    void SetExtraData(uint8_t** data, int* size, void* context) override;

    void set_player_prefix(const char* text) override;

    // The decoder behind an id (null if none); for inspection by the player and tests.
    IAudioOutput* GetDecoder(int id) const;

private:
    static constexpr int kDecoderSlots = 5;  // index = decoder id; the PCM id 3 has none

    std::array<std::unique_ptr<CAudioOutput>, kDecoderSlots> m_decoders;
    IAudioOutput* m_current = nullptr;  // one of m_decoders or null
};
