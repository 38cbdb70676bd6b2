// A local file read by the audio source and decoded by the decoder chain into a null
// output, next to a bare loop of the same libraries (libavformat reading packets, then
// mpg123, fdk-aac or libavcodec + libswresample to 16-bit PCM). Prints CPU seconds per
// audio hour for both and the source path's overhead, as medians of alternating rounds with
// their spread. Decoder-only, so it also runs under valgrind --tool=callgrind, whose
// instruction counts do not depend on how busy the machine is.
// Usage: source_bench <file> [rounds, default 7]
#include <fdk-aac/aacdecoder_lib.h>
#include <mpg123.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

#include "bench/LibraryHandles.h"
#include "player/decoder/CAudioDecoderChain.h"
#include "player/source/CAudioSource.h"

namespace {

using namespace bench;

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Counts the PCM frames and the format, and nothing else.
class CountingOutput final : public IAudioOutput {
public:
    int SetDecoderId(int) override { return 0; }
    int RestartFeed() override { return 0; }
    int GetDecoderId() override { return DECODER_ID_PCM; }
    int SetAudioFormat(const AudioFormat* format) override {
        if (format->rate > 0) rate = format->rate;
        return 0;
    }
    int SetBufferSize(unsigned) override { return 0; }
    int ReservedOperation(int, int) override { return 0; }
    void SetExtraData(uint8_t**, int*, void*) override {}
    int WriteBuffer(const uint8_t*, uint16_t frames, unsigned int) override {
        total += frames;
        return 0;
    }
    uint64_t total = 0;
    int rate = 0;
};

struct Result {
    uint64_t frames = 0;
    int rate = 0;
};

// The player's road: source, chain, output.
Result SourcePath(const std::string& path) {
    CAudioDecoderChain chain;
    CountingOutput out;
    chain.CreateChain("BENCH");
    chain.SetDependentOutput(&out);
    CAudioSource source;
    source.SetOutput(&chain);
    const std::string name = path.substr(path.find_last_of('/') + 1);
    if (source.Initialize(path, name) == 0) {
        chain.RestartFeed();
        bool changed = false;
        while (source.ReadAudio(&changed) >= 0) {
        }
    }
    source.DeInitialize();
    chain.DestroyDecoders();
    return {out.total, out.rate};
}

// Decodes one packet with the bare library calls; returns the frames produced.
class BareDecoder {
public:
    explicit BareDecoder(const AVCodecParameters* par) : m_id(par->codec_id) {
        if (m_id == AV_CODEC_ID_MP3 || m_id == AV_CODEC_ID_MP2) {
            m_mpg.reset(mpg123_new(nullptr, nullptr));
            mpg123_open_feed(m_mpg.get());
            m_pcm.resize(16384);
        } else if (m_id == AV_CODEC_ID_AAC) {
            m_aac.reset(aacDecoder_Open(par->extradata_size > 0 ? TT_MP4_RAW : TT_MP4_ADTS, 1));
            if (par->extradata_size > 0) {
                UCHAR* conf[1] = {par->extradata};
                const UINT length[1] = {static_cast<UINT>(par->extradata_size)};
                aacDecoder_ConfigRaw(m_aac.get(), conf, length);
            }
            m_pcm.resize(16384);
        } else {
            const AVCodec* codec = avcodec_find_decoder(m_id);
            m_codec.reset(avcodec_alloc_context3(codec));
            avcodec_parameters_to_context(m_codec.get(), par);
            m_codec->thread_count = 1;
            avcodec_open2(m_codec.get(), codec, nullptr);
            m_frame.reset(av_frame_alloc());
        }
    }

    uint64_t Decode(AVPacket* packet) {
        if (m_mpg) return DecodeMp3(packet);
        if (m_aac) return DecodeAac(packet);
        return DecodeLibav(packet);
    }

private:
    uint64_t DecodeMp3(const AVPacket* packet) {
        size_t done = 0;
        uint64_t bytes = 0;
        int ret = mpg123_decode(m_mpg.get(), packet->data, packet->size, nullptr, 0, &done);
        while (ret == MPG123_OK || ret == MPG123_NEW_FORMAT) {
            ret = mpg123_decode(m_mpg.get(), nullptr, 0, reinterpret_cast<unsigned char*>(m_pcm.data()),
                                m_pcm.size() * 2, &done);
            bytes += done;
        }
        long rate = 0;
        int channels = 0, encoding = 0;
        mpg123_getformat(m_mpg.get(), &rate, &channels, &encoding);
        return channels ? bytes / (2 * static_cast<uint64_t>(channels)) : 0;
    }

    uint64_t DecodeAac(const AVPacket* packet) {
        UCHAR* in[1] = {packet->data};
        const UINT size[1] = {static_cast<UINT>(packet->size)};
        UINT valid = size[0];
        aacDecoder_Fill(m_aac.get(), in, size, &valid);
        if (aacDecoder_DecodeFrame(m_aac.get(), m_pcm.data(), static_cast<INT>(m_pcm.size()), 0) != AAC_DEC_OK)
            return 0;
        return static_cast<uint64_t>(aacDecoder_GetStreamInfo(m_aac.get())->frameSize);
    }

    uint64_t DecodeLibav(AVPacket* packet) {
        uint64_t frames = 0;
        if (avcodec_send_packet(m_codec.get(), packet) < 0) return 0;
        while (avcodec_receive_frame(m_codec.get(), m_frame.get()) == 0) {
            frames += static_cast<uint64_t>(m_frame->nb_samples);
            if (m_frame->format != AV_SAMPLE_FMT_S16) Convert();
            av_frame_unref(m_frame.get());
        }
        return frames;
    }

    // To 16-bit interleaved, as the player hands PCM on.
    void Convert() {
        if (!m_swr) {
            SwrContext* raw = nullptr;
            swr_alloc_set_opts2(&raw, &m_frame->ch_layout, AV_SAMPLE_FMT_S16, m_frame->sample_rate,
                                &m_frame->ch_layout, static_cast<AVSampleFormat>(m_frame->format),
                                m_frame->sample_rate, 0, nullptr);
            m_swr.reset(raw);
            swr_init(m_swr.get());
        }
        const size_t samples = static_cast<size_t>(m_frame->nb_samples) * m_frame->ch_layout.nb_channels;
        if (m_pcm.size() < samples) m_pcm.resize(samples);
        uint8_t* out[1] = {reinterpret_cast<uint8_t*>(m_pcm.data())};
        swr_convert(m_swr.get(), out, m_frame->nb_samples, const_cast<const uint8_t**>(m_frame->extended_data),
                    m_frame->nb_samples);
    }

    AVCodecID m_id;
    std::unique_ptr<mpg123_handle, Mpg123Delete> m_mpg;
    std::unique_ptr<AAC_DECODER_INSTANCE, AacClose> m_aac;
    std::unique_ptr<AVCodecContext, CodecFree> m_codec;
    std::unique_ptr<AVFrame, FrameFree> m_frame;
    std::unique_ptr<SwrContext, SwrFree> m_swr;
    std::vector<INT_PCM> m_pcm;
};

// The same libraries without the player: libavformat's own file reading, the first audio
// stream, every packet decoded.
Result BareLoop(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return {};
    std::unique_ptr<AVFormatContext, InputCloser> context(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0) return {};
    const int index = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) return {};
    const AVCodecParameters* par = raw->streams[index]->codecpar;
    BareDecoder decoder(par);
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    Result result;
    result.rate = par->sample_rate;
    while (av_read_frame(raw, packet.get()) >= 0) {
        if (packet->stream_index == index) result.frames += decoder.Decode(packet.get());
        av_packet_unref(packet.get());
    }
    return result;
}

double PerHour(const Result& r, double cpu) {
    return r.frames && r.rate ? cpu / (static_cast<double>(r.frames) / r.rate / 3600.0) : 0.0;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

std::string Range(const std::vector<double>& v, bool percent) {
    char text[96];
    const double lo = *std::min_element(v.begin(), v.end());
    const double hi = *std::max_element(v.begin(), v.end());
    if (percent)
        std::snprintf(text, sizeof text, "%+.1f %% (%+.1f..%+.1f %%)", Median(v), lo, hi);
    else
        std::snprintf(text, sizeof text, "%.2f (%.2f..%.2f)", Median(v), lo, hi);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s <file> [rounds, default 7]\n", argv[0]);
        return 2;
    }
    const int rounds = argc == 3 ? std::max(1, std::atoi(argv[2])) : 7;
    av_log_set_level(AV_LOG_QUIET);
    mpg123_init();
    std::vector<double> bare_h, source_h, overhead;
    Result last;
    // Alternating, so that a busy moment of a shared machine hits both alike; the overhead
    // is taken per round against the bare run just before it.
    for (int round = 0; round < rounds; ++round) {
        double t = CpuSeconds();
        const Result bare = BareLoop(argv[1]);
        const double b = PerHour(bare, CpuSeconds() - t);
        t = CpuSeconds();
        last = SourcePath(argv[1]);
        const double s = PerHour(last, CpuSeconds() - t);
        bare_h.push_back(b);
        source_h.push_back(s);
        overhead.push_back(b > 0 ? (s - b) / b * 100.0 : 0.0);
    }
    std::printf("%s (%.1f s of audio, %d rounds): bare libraries %s, source and chain %s CPU s per audio hour; "
                "overhead %s\n",
                argv[1], last.rate ? static_cast<double>(last.frames) / last.rate : 0.0, rounds,
                Range(bare_h, false).c_str(), Range(source_h, false).c_str(), Range(overhead, true).c_str());
    mpg123_exit();
    return last.frames ? 0 : 1;
}
