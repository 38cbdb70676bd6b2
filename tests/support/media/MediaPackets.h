#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVCodecParameters;
struct AVFormatContext;

namespace testkit {

// All packets of a file's first audio stream, read with libavformat the way the player's source
// reads them, plus the codec configuration and the decoder id the source would select.
class MediaPackets final {
public:
    // Returns an empty object (ok() false) when the file cannot be opened.
    static MediaPackets Load(const std::string& path);

    bool ok() const { return m_context != nullptr; }
    int decoder_id() const { return m_decoder_id; }
    int sample_rate() const { return m_sample_rate; }
    int channels() const { return m_channels; }
    const std::vector<std::vector<uint8_t>>& packets() const { return m_packets; }
    // Configuration in the form SetExtraData takes; the context is the open demuxer. The
    // libavcodec decoder (id 4) finds its stream by these pointers: it gets the stream's own.
    uint8_t** extradata();
    int* extradata_size();
    void* context() const { return m_context.get(); }

private:
    struct ContextCloser {
        void operator()(AVFormatContext* c) const noexcept;
    };

    std::unique_ptr<AVFormatContext, ContextCloser> m_context;
    std::vector<std::vector<uint8_t>> m_packets;
    std::vector<uint8_t> m_extradata;
    AVCodecParameters* m_stream_par = nullptr;  // inside m_context
    uint8_t* m_extradata_ptr = nullptr;
    int m_extradata_size = 0;
    int m_decoder_id = -1;
    int m_sample_rate = 0;
    int m_channels = 0;
};

// Path of a file of the generated media set.
std::string MediaFile(const std::string& name);

}  // namespace testkit
