#pragma once

#include <mpg123.h>

#include <cstdint>
#include <memory>

#include "player/decoder/AudioFormat.h"
#include "player/decoder/CAudioOutput.h"

// Decoder id 0: MPEG audio layers 1 to 3 through mpg123 in feed mode. Each WriteBuffer feeds one
// packet and sends every PCM chunk the library can produce to the dependents.
// mpg123_init must have run before Initialize. Playback thread only.
class CMP3Decoder final : public CAudioOutput {
public:
    static constexpr size_t kOutputBufferBytes = 32768;

    CMP3Decoder() = default;
    ~CMP3Decoder() override = default;

    // Creates the handle and opens the feed; 0 or -1.
    int Initialize();
    // Releases the handle and the output buffer.
    void DeInitialize();

    int SetDecoderId(int) override { return 0; }
    // Drops buffered input and decoder state; -1 without a handle or when mpg123 refuses.
    int RestartFeed() override;
    int GetDecoderId() override { return DECODER_ID_MP3; }
    int SetAudioFormat(const AudioFormat* format) override;
    int SetBufferSize(unsigned) override { return 0; }
    int ReservedOperation(int, int) override { return 0; }
    // One compressed packet, size in bytes. 0 when all input is used, negative on failure.
    int WriteBuffer(const uint8_t* data, uint16_t size, unsigned int ts) override;
    void SetExtraData(uint8_t**, int*, void*) override {}

    void set_player_prefix(const char* text) override;

private:
    struct HandleDeleter {
        void operator()(mpg123_handle* h) const noexcept { mpg123_delete(h); }
    };

    int UpdateFormat();
    int AnnounceFormat();
    int FrameBytes() const { return m_format.bits * m_format.channels / 8; }

    std::unique_ptr<mpg123_handle, HandleDeleter> m_handle;
    std::unique_ptr<uint8_t[]> m_output;  // kOutputBufferBytes of PCM from one decode call
    AudioInfo m_format;                   // current PCM format
    bool m_announced = false;             // the dependents accepted m_format
};
