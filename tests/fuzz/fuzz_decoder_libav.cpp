// The decoder chain fed arbitrary packets through the libavcodec decoder (Opus, Vorbis,
// FLAC, ALAC, PCM), with an arbitrary codec configuration.
// Input: one byte choosing the codec, one the channel count (1 to 8), one the sample rate,
// a 16-bit big-endian configuration length, the configuration, then packets, each a 16-bit
// big-endian length and its bytes (a zero length restarts the feed).

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "tests/fuzz/DecoderFuzz.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

constexpr AVCodecID kCodecs[] = {AV_CODEC_ID_OPUS, AV_CODEC_ID_VORBIS, AV_CODEC_ID_FLAC,
                                 AV_CODEC_ID_ALAC, AV_CODEC_ID_PCM_S16LE};
constexpr int kRates[] = {48000, 44100, 32000, 22050, 16000, 8000, 96000, 11025};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::PacketReader reader(data, size);
    const AVCodecID codec = kCodecs[reader.Byte() % (sizeof(kCodecs) / sizeof(kCodecs[0]))];
    const int channels = reader.Byte() % 8 + 1;
    const int rate = kRates[reader.Byte() % (sizeof(kRates) / sizeof(kRates[0]))];
    const size_t high = reader.Byte();
    const size_t wanted = high << 8 | reader.Byte();
    size_t left = 0;
    const uint8_t* rest = reader.Rest(left);
    const size_t config_size = wanted < left ? wanted : left;
    fuzz::RunLibavDecoder(codec, rate, channels, rest, config_size, rest + config_size,
                          left - config_size);
    return 0;
}
