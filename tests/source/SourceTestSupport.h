#pragma once

#include <cstring>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "player/decoder/IAudioOutput.h"
#include "tests/support/log/LogCapture.h"
#include "utils/CLogger.h"

namespace sourcetest {

using ::LogCapture;

// A fresh folder under TMPDIR, removed with everything in it.
class TempDir final {
public:
    TempDir()
    {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/source_test.XXXXXX";
        if (mkdtemp(pattern.data())) {
            m_path = pattern;
        }
    }
    ~TempDir()
    {
        if (!m_path.empty()) {
            const std::string command = "rm -rf '" + m_path + "'";
            if (system(command.c_str()) != 0) {
            }
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    std::string write(const std::string& name, const std::string& content) const
    {
        std::ofstream(file(name), std::ios::binary) << content;
        return file(name);
    }

private:
    std::string m_path;
};

// Stands where the decoder chain would: keeps what the source configures and delivers.
class PacketRecorder final : public IAudioOutput {
public:
    int SetDecoderId(int id) override
    {
        decoder_ids.push_back(id);
        return 0;
    }
    int RestartFeed() override { return 0; }
    int GetDecoderId() override { return decoder_ids.empty() ? -1 : decoder_ids.back(); }
    int SetAudioFormat(const AudioFormat*) override
    {
        ++formats;
        return 0;
    }
    int SetBufferSize(unsigned) override { return 0; }
    int ReservedOperation(int, int) override { return 0; }
    int WriteBuffer(const uint8_t* data, uint16_t size, unsigned int) override
    {
        sizes.push_back(size);
        bytes.insert(bytes.end(), data, data + size);
        return 0;
    }
    void SetExtraData(uint8_t** data, int* size, void* context) override
    {
        extradata_size = size ? *size : -1;
        has_extradata_pointer = data != nullptr;
        format_context = context;
    }

    std::vector<int> decoder_ids;
    std::vector<uint16_t> sizes;
    std::vector<uint8_t> bytes;
    int formats = 0;
    int extradata_size = -1;
    bool has_extradata_pointer = false;
    void* format_context = nullptr;
};

// A PCM output that counts what the decoders produce.
class PcmCounter final : public IAudioOutput {
public:
    int SetDecoderId(int) override { return 0; }
    int RestartFeed() override { return 0; }
    int GetDecoderId() override { return 3; }
    int SetAudioFormat(const AudioFormat* format) override
    {
        last_format = *format;
        return 0;
    }
    int SetBufferSize(unsigned) override { return 0; }
    int ReservedOperation(int, int) override { return 0; }
    int WriteBuffer(const uint8_t* data, uint16_t count, unsigned int) override
    {
        frames += count;
        for (size_t i = 0; i < static_cast<size_t>(count) * last_format.channels; ++i) {
            int16_t sample;  // memcpy: the byte buffer need not be aligned for 16-bit loads
            std::memcpy(&sample, data + i * sizeof(sample), sizeof(sample));
            const int value = sample < 0 ? -sample : sample;
            peak = value > peak ? value : peak;
        }
        return 0;
    }
    void SetExtraData(uint8_t**, int*, void*) override {}

    AudioFormat last_format;
    int64_t frames = 0;
    int peak = 0;
};

}  // namespace sourcetest
