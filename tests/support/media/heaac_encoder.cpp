// Writes a sine tone as HE-AAC in ADTS framing with fdk-aac's encoder, for test media that
// the ffmpeg command line cannot produce.
// Usage: heaac_encoder <out.aac> <frequency Hz> <sample rate> <channels 1|2> <seconds>
#include <fdk-aac/aacenc_lib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

struct EncoderCloser {
    void operator()(AACENCODER* h) const noexcept { aacEncClose(&h); }
};
using EncoderHandle = std::unique_ptr<AACENCODER, EncoderCloser>;

struct FileCloser {
    void operator()(FILE* f) const noexcept { std::fclose(f); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

EncoderHandle OpenEncoder(int rate, int channels) {
    HANDLE_AACENCODER raw = nullptr;
    if (aacEncOpen(&raw, 0, static_cast<UINT>(channels)) != AACENC_OK)
        return nullptr;
    EncoderHandle h(raw);
    const bool ok =
        aacEncoder_SetParam(h.get(), AACENC_AOT, AOT_SBR) == AACENC_OK &&
        aacEncoder_SetParam(h.get(), AACENC_SAMPLERATE, static_cast<UINT>(rate)) == AACENC_OK &&
        aacEncoder_SetParam(h.get(), AACENC_CHANNELMODE, channels == 1 ? MODE_1 : MODE_2) ==
            AACENC_OK &&
        aacEncoder_SetParam(h.get(), AACENC_BITRATE, channels == 1 ? 32000 : 64000) == AACENC_OK &&
        aacEncoder_SetParam(h.get(), AACENC_TRANSMUX, TT_MP4_ADTS) == AACENC_OK &&
        aacEncEncode(h.get(), nullptr, nullptr, nullptr, nullptr) == AACENC_OK;
    return ok ? std::move(h) : nullptr;
}

// Feeds one block (or, with count < 0, the end of input) and writes what comes out.
// Returns the encoder's result.
AACENC_ERROR EncodeBlock(AACENCODER* h, std::vector<INT_PCM>& pcm, int count, FILE* out) {
    std::vector<UCHAR> bits(8192);
    void* in_ptr = pcm.data();
    void* out_ptr = bits.data();
    INT in_id = IN_AUDIO_DATA, in_size = static_cast<INT>(pcm.size() * sizeof(INT_PCM));
    INT in_elem = sizeof(INT_PCM);
    INT out_id = OUT_BITSTREAM_DATA, out_size = static_cast<INT>(bits.size()), out_elem = 1;
    AACENC_BufDesc in_desc{1, &in_ptr, &in_id, &in_size, &in_elem};
    AACENC_BufDesc out_desc{1, &out_ptr, &out_id, &out_size, &out_elem};
    AACENC_InArgs in_args{count, 0};
    AACENC_OutArgs out_args{};
    const AACENC_ERROR e = aacEncEncode(h, &in_desc, &out_desc, &in_args, &out_args);
    if (e == AACENC_OK && out_args.numOutBytes > 0)
        std::fwrite(bits.data(), 1, static_cast<size_t>(out_args.numOutBytes), out);
    return e;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s <out.aac> <frequency> <rate> <channels> <seconds>\n", argv[0]);
        return 2;
    }
    const double frequency = std::atof(argv[2]);
    const int rate = std::atoi(argv[3]);
    const int channels = std::atoi(argv[4]);
    const double seconds = std::atof(argv[5]);
    if (rate <= 0 || (channels != 1 && channels != 2) || seconds <= 0) {
        std::fprintf(stderr, "bad arguments\n");
        return 2;
    }
    EncoderHandle encoder = OpenEncoder(rate, channels);
    if (!encoder) {
        std::fprintf(stderr, "cannot set up the HE-AAC encoder\n");
        return 1;
    }
    AACENC_InfoStruct info{};
    aacEncInfo(encoder.get(), &info);
    FileHandle out(std::fopen(argv[1], "wb"));
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    const long total = static_cast<long>(seconds * rate);
    const int block = static_cast<int>(info.frameLength);
    std::vector<INT_PCM> pcm(static_cast<size_t>(block * channels));
    for (long done = 0; done < total; done += block) {
        for (int i = 0; i < block; ++i) {
            const double v = 0.5 * std::sin(2.0 * M_PI * frequency * static_cast<double>(done + i) / rate);
            for (int c = 0; c < channels; ++c)
                pcm[static_cast<size_t>(i * channels + c)] = static_cast<INT_PCM>(v * 32767.0);
        }
        if (EncodeBlock(encoder.get(), pcm, static_cast<int>(pcm.size()), out.get()) != AACENC_OK)
            return 1;
    }
    // Flush: the encoder answers AACENC_ENCODE_EOF once everything is out.
    for (int i = 0; i < 16; ++i)
        if (EncodeBlock(encoder.get(), pcm, -1, out.get()) != AACENC_OK)
            break;
    return 0;
}
