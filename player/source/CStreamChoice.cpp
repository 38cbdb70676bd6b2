#include "player/source/CStreamChoice.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "player/decoder/AudioFormat.h"

namespace {

// What the libavcodec decoder takes: the codecs of media cards and internet radio that
// neither mpg123 nor fdk-aac decode. Others that libavcodec knows (WMA, AC-3, ...) stay
// refused: they are not part of what the device promises to play.
constexpr AVCodecID kLibavCodecs[] = {
    AV_CODEC_ID_OPUS,      AV_CODEC_ID_VORBIS,    AV_CODEC_ID_FLAC,      AV_CODEC_ID_ALAC,
    AV_CODEC_ID_PCM_S16LE, AV_CODEC_ID_PCM_S16BE, AV_CODEC_ID_PCM_S24LE, AV_CODEC_ID_PCM_S24BE,
    AV_CODEC_ID_PCM_S32LE, AV_CODEC_ID_PCM_F32LE, AV_CODEC_ID_PCM_U8,
};

std::string CodecName(AVCodecID id)
{
    std::string name = avcodec_get_name(id);
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
    if (descriptor && descriptor->long_name) {
        name += std::string(" (") + descriptor->long_name + ")";
    }
    return name;
}

}  // namespace

int CStreamChoice::DecoderFor(int codec_id)
{
    const auto id = static_cast<AVCodecID>(codec_id);
    if (id == AV_CODEC_ID_AAC) {
        return DECODER_ID_AAC;
    }
    if (id == AV_CODEC_ID_MP3 || id == AV_CODEC_ID_MP2) {
        return DECODER_ID_MP3;
    }
    for (const AVCodecID libav : kLibavCodecs) {
        if (id == libav) {
            return avcodec_find_decoder(id) ? DECODER_ID_LIBAV : -1;
        }
    }
    return -1;
}

bool CStreamChoice::Choose(const AVFormatContext* context, AVStream*& stream, int& decoder_id,
                           std::string& refused)
{
    stream = nullptr;
    decoder_id = -1;
    refused.clear();
    AVStream* fallback = nullptr;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        AVStream* candidate = context->streams[i];
        const AVCodecParameters* par = candidate->codecpar;
        const int id = DecoderFor(par->codec_id);
        if (id == DECODER_ID_MP3 || id == DECODER_ID_AAC) {
            stream = candidate;
            decoder_id = id;
            return true;
        }
        if (id == DECODER_ID_LIBAV && !fallback) {
            fallback = candidate;
        } else if (id < 0 && par->codec_type == AVMEDIA_TYPE_AUDIO && refused.empty()) {
            refused = CodecName(par->codec_id);
        }
    }
    if (!fallback) {
        return false;
    }
    stream = fallback;
    decoder_id = DECODER_ID_LIBAV;
    refused.clear();
    return true;
}
