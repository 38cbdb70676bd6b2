// The decoder chain fed arbitrary ADTS frames through the ADTS decoder (fdk-aac).
// Input: packets, each a 16-bit big-endian length and its bytes.

#include <cstddef>
#include <cstdint>

#include "player/decoder/AudioFormat.h"
#include "tests/fuzz/DecoderFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::RunDecoderChain(DECODER_ID_AAC_ADTS, nullptr, 0, data, size);
    return 0;
}
