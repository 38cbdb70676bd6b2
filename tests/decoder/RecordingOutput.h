#pragma once

#include <cstring>
#include <cstdint>
#include <string>
#include <vector>

#include "player/decoder/IAudioOutput.h"

// A PCM stage of our own that keeps everything a decoder hands it, in order, so tests can check
// what reached the output and when the format was announced.
class RecordingOutput final : public IAudioOutput {
public:
    struct Event {
        enum Kind { kFormat, kPcm, kRestart } kind;
        AudioFormat format;  // kFormat
        uint16_t frames = 0; // kPcm
    };
    struct Segment {  // PCM received under one announced format
        AudioFormat format;
        std::vector<int16_t> samples;
    };

    int write_result = 0;   // what WriteBuffer answers
    int format_result = 0;  // what SetAudioFormat answers

    int SetDecoderId(int) override { return 0; }
    int RestartFeed() override {
        events.push_back({Event::kRestart, {}, 0});
        return 0;
    }
    int GetDecoderId() override { return 3; }
    int SetAudioFormat(const AudioFormat* f) override {
        events.push_back({Event::kFormat, *f, 0});
        segments.push_back({*f, {}});
        return format_result;
    }
    int SetBufferSize(unsigned) override { return 0; }
    int ReservedOperation(int, int) override { return 0; }
    int WriteBuffer(const uint8_t* data, uint16_t frames, unsigned int) override {
        events.push_back({Event::kPcm, {}, frames});
        if (data && frames && !segments.empty()) {
            // memcpy: the byte buffer need not be aligned for 16-bit loads.
            const size_t n = static_cast<size_t>(frames) * segments.back().format.channels;
            auto& samples = segments.back().samples;
            const size_t old = samples.size();
            samples.resize(old + n);
            std::memcpy(samples.data() + old, data, n * sizeof(int16_t));
        }
        return write_result;
    }
    void SetExtraData(uint8_t**, int*, void*) override {}

    size_t CountOf(Event::Kind kind) const {
        size_t n = 0;
        for (const Event& e : events)
            n += e.kind == kind;
        return n;
    }

    std::vector<Event> events;
    std::vector<Segment> segments;
};
