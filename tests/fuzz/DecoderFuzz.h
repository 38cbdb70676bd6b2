#pragma once

// Runs the decoder chain on arbitrary packets through one decoder, the way the audio source
// drives it: select the decoder, hand over the codec configuration, write packet by packet
// (with a restart of the feed in between when the input asks for one).

#include <cstddef>
#include <cstdint>

namespace fuzz {

// id: decoder id; asc/asc_size: the codec configuration (AAC with AudioSpecificConfig;
// may be empty); packets: PacketReader input.
void RunDecoderChain(int id, const uint8_t* asc, size_t asc_size, const uint8_t* packets,
                     size_t size);

// The libavcodec decoder on a stream of codec_id (an AVCodecID) with this rate, channel
// count and codec configuration, as the source's demuxer context carries it.
void RunLibavDecoder(int codec_id, int rate, int channels, const uint8_t* extradata,
                     size_t extradata_size, const uint8_t* packets, size_t size);

}  // namespace fuzz
