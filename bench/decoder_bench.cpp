// Decodes long MP3 and AAC files through the decoder chain into a null output and through
// the bare library calls, and prints CPU seconds per audio hour for both and the chain's
// overhead, as medians over several rounds with their spread.
// Usage: decoder_bench <file.mp3> <file.aac> [rounds]
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
#include <libavformat/avformat.h>
}

#include "bench/LibraryHandles.h"
#include "player/decoder/CAudioDecoderChain.h"

namespace {

using namespace bench;

using Packets = std::vector<std::vector<uint8_t>>;


// Reads every packet up front so that only decoding is measured.
bool ReadPackets(const char* path, Packets& packets, std::unique_ptr<AVFormatContext, InputCloser>& ctx) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path, nullptr, nullptr) < 0)
        return false;
    ctx.reset(raw);
    std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
    while (pkt && av_read_frame(raw, pkt.get()) >= 0) {
        packets.emplace_back(pkt->data, pkt->data + pkt->size);
        av_packet_unref(pkt.get());
    }
    return !packets.empty();
}

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Counts the frames the chain delivers, and nothing else.
class CountingOutput final : public IAudioOutput {
public:
    int SetDecoderId(int) override { return 0; }
    int RestartFeed() override { return 0; }
    int GetDecoderId() override { return 3; }
    int SetAudioFormat(const AudioFormat*) override { return 0; }
    int SetBufferSize(unsigned) override { return 0; }
    int ReservedOperation(int, int) override { return 0; }
    void SetExtraData(uint8_t**, int*, void*) override {}
    int WriteBuffer(const uint8_t*, uint16_t frames, unsigned int) override {
        total += frames;
        return 0;
    }
    uint64_t total = 0;
};

uint64_t ChainDecode(const Packets& packets, int decoder_id, void* context) {
    CAudioDecoderChain chain;
    CountingOutput out;
    chain.CreateChain("BENCH");
    chain.SetDependentOutput(&out);
    chain.SetDecoderId(decoder_id);
    chain.SetExtraData(nullptr, nullptr, context);
    for (const auto& p : packets)
        chain.WriteBuffer(p.data(), static_cast<uint16_t>(p.size()), 0);
    chain.DestroyDecoders();
    return out.total;
}

uint64_t BareMp3(const Packets& packets) {
    std::unique_ptr<mpg123_handle, Mpg123Delete> h(mpg123_new(nullptr, nullptr));
    if (!h || mpg123_open_feed(h.get()) != MPG123_OK)
        return 0;
    std::vector<unsigned char> pcm(32768);
    uint64_t bytes = 0;
    for (const auto& p : packets) {
        size_t done = 0;
        int ret = mpg123_decode(h.get(), p.data(), p.size(), nullptr, 0, &done);
        while (ret == MPG123_OK || ret == MPG123_NEW_FORMAT) {
            ret = mpg123_decode(h.get(), nullptr, 0, pcm.data(), pcm.size(), &done);
            bytes += done;
        }
    }
    return bytes / 4;  // 16-bit stereo
}

uint64_t BareAac(const Packets& packets) {
    std::unique_ptr<AAC_DECODER_INSTANCE, AacClose> h(aacDecoder_Open(TT_MP4_ADTS, 1));
    if (!h)
        return 0;
    std::vector<INT_PCM> pcm(16384);
    uint64_t frames = 0;
    for (const auto& p : packets) {
        UCHAR* in[1] = {const_cast<UCHAR*>(p.data())};
        const UINT size[1] = {static_cast<UINT>(p.size())};
        UINT valid = size[0];
        aacDecoder_Fill(h.get(), in, size, &valid);
        if (aacDecoder_DecodeFrame(h.get(), pcm.data(), static_cast<INT>(pcm.size()), 0) == AAC_DEC_OK)
            frames += static_cast<uint64_t>(aacDecoder_GetStreamInfo(h.get())->frameSize);
    }
    return frames;
}

double PerHour(uint64_t frames, double cpu, int rate) {
    return frames ? cpu / (static_cast<double>(frames) / rate / 3600.0) : 0.0;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// Alternates bare and chain runs, so that a busy moment of a shared machine hits both
// alike, and prints the median with the spread (min..max) of the rounds. The overhead is
// taken per round (chain against the bare run just before it) and summarised the same way.
template <typename Bare, typename Chain>
void Compare(const char* codec, Bare&& bare, Chain&& chain, int rate, int rounds) {
    std::vector<double> bare_h, chain_h, overhead;
    uint64_t chain_frames = 0;
    for (int round = 0; round < rounds; ++round) {
        double t = CpuSeconds();
        const uint64_t bare_frames = bare();
        const double b = PerHour(bare_frames, CpuSeconds() - t, rate);
        t = CpuSeconds();
        chain_frames = chain();
        const double c = PerHour(chain_frames, CpuSeconds() - t, rate);
        bare_h.push_back(b);
        chain_h.push_back(c);
        overhead.push_back(b > 0 ? (c - b) / b * 100.0 : 0.0);
    }
    const auto range = [](const std::vector<double>& v, bool percent) {
        char text[96];
        const double lo = *std::min_element(v.begin(), v.end());
        const double hi = *std::max_element(v.begin(), v.end());
        if (percent)
            std::snprintf(text, sizeof text, "%+.1f %% (%+.1f..%+.1f %%)", Median(v), lo, hi);
        else
            std::snprintf(text, sizeof text, "%.2f (%.2f..%.2f)", Median(v), lo, hi);
        return std::string(text);
    };
    std::printf("%s (%.1f s of audio, %d rounds): bare library %s, chain %s CPU s per audio hour; "
                "chain overhead %s\n",
                codec, static_cast<double>(chain_frames) / rate, rounds, range(bare_h, false).c_str(),
                range(chain_h, false).c_str(), range(overhead, true).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s <file.mp3> <file.aac> [rounds, default 7]\n", argv[0]);
        return 2;
    }
    const int rounds = argc == 4 ? std::max(1, std::atoi(argv[3])) : 7;
    mpg123_init();
    Packets mp3, aac;
    std::unique_ptr<AVFormatContext, InputCloser> mp3_ctx, aac_ctx;
    if (!ReadPackets(argv[1], mp3, mp3_ctx) || !ReadPackets(argv[2], aac, aac_ctx)) {
        std::fprintf(stderr, "cannot read the input files\n");
        return 1;
    }
    Compare("MP3", [&] { return BareMp3(mp3); }, [&] { return ChainDecode(mp3, 0, mp3_ctx.get()); }, 44100, rounds);
    Compare("AAC", [&] { return BareAac(aac); }, [&] { return ChainDecode(aac, 2, aac_ctx.get()); }, 44100, rounds);
    mpg123_exit();
    return 0;
}
