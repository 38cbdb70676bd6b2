#pragma once

// Owners of the decoding libraries' handles for the benchmark programs.

#include <fdk-aac/aacdecoder_lib.h>
#include <mpg123.h>

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace bench {

struct InputCloser {
    void operator()(AVFormatContext* c) const noexcept { avformat_close_input(&c); }
};
struct PacketFree {
    void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
};
struct FrameFree {
    void operator()(AVFrame* f) const noexcept { av_frame_free(&f); }
};
struct CodecFree {
    void operator()(AVCodecContext* c) const noexcept { avcodec_free_context(&c); }
};
struct SwrFree {
    void operator()(SwrContext* s) const noexcept { swr_free(&s); }
};
struct Mpg123Delete {
    void operator()(mpg123_handle* h) const noexcept { mpg123_delete(h); }
};
struct AacClose {
    void operator()(AAC_DECODER_INSTANCE* h) const noexcept { aacDecoder_Close(h); }
};

}  // namespace bench
