#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testkit {

// Interleaved 16-bit PCM of one format, and what a test wants to know about it.
struct ToneReport {
    double frequency = 0.0;  // Hz, from rising zero crossings of channel 0
    double rms = 0.0;        // of channel 0, in full-scale units (0..1)
    size_t frames = 0;
};

// Analyses the samples of channel 0 (skipping `skip_frames` at both ends, where codecs fade).
ToneReport AnalyseTone(const std::vector<int16_t>& interleaved, int channels, int rate,
                       size_t skip_frames = 0);

}  // namespace testkit
