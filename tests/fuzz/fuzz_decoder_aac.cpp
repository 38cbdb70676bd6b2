// The decoder chain fed arbitrary raw AAC access units through the AAC decoder (fdk-aac),
// with an arbitrary AudioSpecificConfig or none at all.
// Input: one byte giving the configuration's length (0: none), the configuration, then
// packets, each a 16-bit big-endian length and its bytes.

#include <cstddef>
#include <cstdint>

#include "player/decoder/AudioFormat.h"
#include "tests/fuzz/DecoderFuzz.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::PacketReader reader(data, size);
    const size_t wanted = reader.Byte();
    size_t left = 0;
    const uint8_t* rest = reader.Rest(left);
    const size_t asc_size = wanted < left ? wanted : left;
    fuzz::RunDecoderChain(DECODER_ID_AAC, rest, asc_size, rest + asc_size, left - asc_size);
    return 0;
}
