#include "tests/fuzz/DecoderFuzz.h"

#include <mpg123.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "player/decoder/CAudioDecoderChain.h"
#include "tests/fuzz/FuzzSupport.h"

namespace fuzz {

namespace {

// The PCM stage after the decoders: PCM must follow a format announcement, and every
// frame handed over is read, so a count larger than the decoder's buffer shows as a
// read past its end.
class CheckingOutput final : public IAudioOutput {
public:
    int SetDecoderId(int) override { return 0; }
    int RestartFeed() override { return 0; }
    int GetDecoderId() override { return DECODER_ID_PCM; }
    int SetAudioFormat(const AudioFormat* format) override
    {
        m_format = *format;
        m_announced = true;
        return 0;
    }
    int SetBufferSize(unsigned) override { return 0; }
    int ReservedOperation(int, int) override { return 0; }
    int WriteBuffer(const uint8_t* data, uint16_t frames, unsigned int) override
    {
        if (!data || frames == 0) {
            return 0;
        }
        if (!m_announced || m_format.channels <= 0 || m_format.bits <= 0) {
            abort();  // PCM of an unknown format
        }
        const size_t bytes = static_cast<size_t>(frames) * static_cast<size_t>(m_format.channels) *
                             static_cast<size_t>(m_format.bits / 8);
        m_scratch.resize(bytes);
        memcpy(m_scratch.data(), data, bytes);
        return 0;
    }
    void SetExtraData(uint8_t**, int*, void*) override {}

private:
    AudioFormat m_format;
    bool m_announced = false;
    std::vector<uint8_t> m_scratch;
};

}  // namespace

void RunDecoderChain(int id, const uint8_t* asc, size_t asc_size, const uint8_t* packets,
                     size_t size)
{
    static const bool initialised = [] {
        QuietPlayerLogs();
        mpg123_init();
        return true;
    }();
    (void)initialised;

    CheckingOutput output;
    CAudioDecoderChain chain;
    chain.CreateChain("FUZZ :");
    chain.SetDependentOutput(&output);
    if (chain.SetDecoderId(id) != 0) {
        abort();
    }
    // The decoder keeps pointers to the configuration, as it does into an open stream.
    std::vector<uint8_t> config(asc, asc + asc_size);
    uint8_t* config_data = config.empty() ? nullptr : config.data();
    int config_size = static_cast<int>(config.size());
    chain.SetExtraData(&config_data, &config_size, &chain);
    AudioInfo info;
    chain.SetAudioFormat(&info);

    PacketReader reader(packets, size);
    const uint8_t* packet = nullptr;
    size_t length = 0;
    while (reader.Next(packet, length)) {
        // A zero-length packet stands for the reopen of a stream: the feed restarts.
        if (length == 0) {
            chain.RestartFeed();
            continue;
        }
        // Each packet in its own allocation, so a read past its end is caught.
        std::vector<uint8_t> copy(packet, packet + length);
        chain.WriteBuffer(copy.data(), static_cast<uint16_t>(copy.size()), 0);
    }
    chain.DestroyDecoders();
}

}  // namespace fuzz
