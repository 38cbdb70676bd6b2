#include "tests/support/media/ToneAnalysis.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace testkit {

ToneReport AnalyseTone(const std::vector<int16_t>& interleaved, int channels, int rate,
                       size_t skip_frames) {
    ToneReport report;
    if (channels <= 0 || rate <= 0)
        return report;
    report.frames = interleaved.size() / static_cast<size_t>(channels);
    if (report.frames <= 2 * skip_frames + 2)
        return report;
    const size_t first = skip_frames;
    const size_t last = report.frames - skip_frames;
    // Hysteresis of a tenth of the peak keeps codec noise from adding crossings.
    int16_t peak = 0;
    for (size_t i = first; i < last; ++i) {
        const int16_t v = interleaved[i * static_cast<size_t>(channels)];
        peak = std::max<int16_t>(peak, static_cast<int16_t>(v == INT16_MIN ? INT16_MAX : std::abs(v)));
    }
    const int threshold = peak / 10;
    size_t crossings = 0;
    size_t first_crossing = 0;
    size_t last_crossing = 0;
    double energy = 0.0;
    bool below = false;
    for (size_t i = first; i < last; ++i) {
        const int16_t sample = interleaved[i * static_cast<size_t>(channels)];
        const double v = sample / 32768.0;
        energy += v * v;
        if (sample < -threshold) {
            below = true;
        } else if (below && sample > threshold) {
            below = false;
            if (crossings == 0)
                first_crossing = i;
            last_crossing = i;
            ++crossings;
        }
    }
    report.rms = std::sqrt(energy / static_cast<double>(last - first));
    if (crossings >= 2)
        report.frequency = static_cast<double>(crossings - 1) * rate /
                           static_cast<double>(last_crossing - first_crossing);
    return report;
}

}  // namespace testkit
