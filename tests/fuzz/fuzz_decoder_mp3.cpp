// The decoder chain fed arbitrary MPEG audio packets through the MP3 decoder (mpg123).
// Input: packets, each a 16-bit big-endian length and its bytes.

#include <cstddef>
#include <cstdint>

#include "player/decoder/AudioFormat.h"
#include "tests/fuzz/DecoderFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::RunDecoderChain(DECODER_ID_MP3, nullptr, 0, data, size);
    return 0;
}
