#pragma once

#include <string>

struct AVFormatContext;
struct AVStream;

// Chooses the stream of an opened input that the player decodes, and the decoder for it:
// the first AAC or MP2/MP3 stream in index order (fdk-aac, mpg123), else the first audio
// stream of a codec that libavcodec decodes for the player (Opus, Vorbis, FLAC, ALAC,
// plain PCM). Player thread only; keeps nothing between calls.
class CStreamChoice final {
public:
    // Decoder id for a stream of this codec (libavcodec's AVCodecID), -1 when none.
    static int DecoderFor(int codec_id);

    // Fills the chosen stream and decoder id and returns true; false when no stream
    // qualifies. refused then names the codec of the first audio stream nobody decodes
    // ("wmav2 (Windows Media Audio 2)"), or stays empty when there is no audio stream.
    static bool Choose(const AVFormatContext* context, AVStream*& stream, int& decoder_id,
                       std::string& refused);
};
