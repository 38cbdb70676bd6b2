#pragma once

#include <cstdint>

// PCM format announced through SetAudioFormat. Callers always pass a whole AudioInfo,
// which begins with these four words.
struct AudioFormat {
    int32_t bits = 0;
    int32_t tag = 0;  // second word: copied along, never interpreted by an output
    int32_t rate = 0;
    int32_t channels = 0;
};

struct AudioInfo : AudioFormat {
    int16_t reserved16 = 0;
    int32_t reserved32 = 0;
    int64_t bit_rate = 0;  // bits per second, from the source; decoders leave it 0
};

// Decoder ids, shared with the source's codec type.
enum DecoderId : int {
    DECODER_ID_MP3 = 0,
    DECODER_ID_AAC = 1,
    DECODER_ID_AAC_ADTS = 2,
    DECODER_ID_PCM = 3,
    DECODER_ID_LIBAV = 4,  // Opus, Vorbis, FLAC and the like, through libavcodec
};
