#include "tests/support/media/MediaPackets.h"

#include <cstdlib>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace testkit {

void MediaPackets::ContextCloser::operator()(AVFormatContext* c) const noexcept {
    avformat_close_input(&c);
}

namespace {
struct PacketFree {
    void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
};

int DecoderIdFor(const AVCodecParameters* par) {
    if (par->codec_id == AV_CODEC_ID_MP3 || par->codec_id == AV_CODEC_ID_MP2 ||
        par->codec_id == AV_CODEC_ID_MP1)
        return 0;
    if (par->codec_id == AV_CODEC_ID_AAC)
        return par->extradata_size > 0 ? 1 : 2;
    switch (par->codec_id) {
        case AV_CODEC_ID_OPUS:
        case AV_CODEC_ID_VORBIS:
        case AV_CODEC_ID_FLAC:
            return 4;
        default:
            return -1;
    }
}
}  // namespace

MediaPackets MediaPackets::Load(const std::string& path) {
    MediaPackets media;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return media;
    media.m_context.reset(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0) {
        media.m_context.reset();
        return media;
    }
    const int index = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) {
        media.m_context.reset();
        return media;
    }
    const AVCodecParameters* par = raw->streams[index]->codecpar;
    media.m_decoder_id = DecoderIdFor(par);
    media.m_sample_rate = par->sample_rate;
    media.m_channels = par->ch_layout.nb_channels;
    media.m_extradata.assign(par->extradata, par->extradata + par->extradata_size);
    media.m_extradata_ptr = media.m_extradata.empty() ? nullptr : media.m_extradata.data();
    media.m_extradata_size = static_cast<int>(media.m_extradata.size());
    media.m_stream_par = raw->streams[index]->codecpar;
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    while (packet && av_read_frame(raw, packet.get()) >= 0) {
        if (packet->stream_index == index)
            media.m_packets.emplace_back(packet->data, packet->data + packet->size);
        av_packet_unref(packet.get());
    }
    return media;
}

uint8_t** MediaPackets::extradata() {
    return m_decoder_id == 4 && m_stream_par ? &m_stream_par->extradata : &m_extradata_ptr;
}

int* MediaPackets::extradata_size() {
    return m_decoder_id == 4 && m_stream_par ? &m_stream_par->extradata_size : &m_extradata_size;
}

std::string MediaFile(const std::string& name) {
    const char* dir = std::getenv("QUILLON_TEST_MEDIA_DIR");
#ifdef QUILLON_TEST_MEDIA_DIR_DEFAULT
    if (!dir)
        dir = QUILLON_TEST_MEDIA_DIR_DEFAULT;
#endif
    return std::string(dir ? dir : ".") + "/" + name;
}

}  // namespace testkit
