#pragma once

#include <fdk-aac/aacdecoder_lib.h>

#include <cstdint>
#include <memory>

#include "player/decoder/AudioFormat.h"
#include "player/decoder/CAudioOutput.h"

// Decoder id 1: raw AAC access units described by an AudioSpecificConfig (MP4/M4A), through
// fdk-aac. Also the base of the ADTS decoder. Playback thread only.
class CAACDecoder : public CAudioOutput {
public:
    static constexpr int kOutputSamples = 16384;  // 2048 samples per channel, up to 8 channels

    CAACDecoder();
    ~CAACDecoder() override = default;

    // Opens the library handle and allocates the output buffer; 0 or -1.
    virtual int Initialize();
    // Closes the handle and frees the output buffer.
    void DeInitialize();

    int SetDecoderId(int) override { return 0; }
    // Reopens the handle and re-applies the configuration of the last SetExtraData; that
    // configuration points into the source's open stream, so only call while it is open.
    int RestartFeed() override;
    int GetDecoderId() override { return DECODER_ID_AAC; }
    int SetAudioFormat(const AudioFormat* format) override;
    int SetBufferSize(unsigned) override { return 0; }
    int ReservedOperation(int, int) override { return 0; }
    // One packet in bytes. 0 after decoding, 1 when the library needs more input, -1 on failure.
    int WriteBuffer(const uint8_t* data, uint16_t size, unsigned int ts) override;
    // Keeps the configuration pointers and the demuxer context and configures the decoder.
    void SetExtraData(uint8_t** data, int* size, void* context) override;

    void set_player_prefix(const char* text) override;

protected:
    struct HandleCloser {
        void operator()(AAC_DECODER_INSTANCE* h) const noexcept { aacDecoder_Close(h); }
    };
    using AacHandle = std::unique_ptr<AAC_DECODER_INSTANCE, HandleCloser>;

    // Opens a fresh handle of this decoder's transport type; false when the library refuses.
    bool OpenHandle();
    int AllocateOutput(const char* class_name);
    virtual TRANSPORT_TYPE Transport() const { return TT_MP4_RAW; }
    virtual const char* PrefixSuffix() const { return " DECODER AAC+:"; }
    void StoreContext(void* context) { m_context = context; }

private:
    int ApplyConfig();
    int DecodeFrames(const uint8_t* data, uint16_t size, unsigned int ts);
    int DeliverFrame(unsigned int ts);
    bool FillRemaining(const uint8_t* data, uint16_t size, UINT& remaining);
    bool InputEmpty() const;

    int32_t m_config_result = 0;        // result of the last aacDecoder_ConfigRaw
    uint8_t** m_config_data = nullptr;  // AudioSpecificConfig, owned by the source's stream
    int* m_config_length = nullptr;     // its length, owned by the source's stream
    AacHandle m_handle;
    UINT m_input_capacity = 0;            // free bytes of the library's input buffer when empty
    std::unique_ptr<INT_PCM[]> m_output;  // PCM of one decoded frame
    AudioInfo m_format;                   // current PCM format
    void* m_context = nullptr;            // demuxer context; null means "no source"
};
