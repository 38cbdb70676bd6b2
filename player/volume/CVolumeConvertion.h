#pragma once

#include <cstdint>

// Maps a volume in percent (0..100) to a level in hundredths of a dB and back along the
// device's fixed loudness curve. Pure functions; any thread.
class CVolumeConvertion {
public:
    CVolumeConvertion() = default;
    virtual ~CVolumeConvertion() = default;

    // Percent to hundredths of a dB: -12000 at 0 %, +50 at 100 %; below 0 gives -12000,
    // above 100 gives +50.
    int PercentToDb(int percent) const;
    // Hundredths of a dB to percent (truncating), the inverse of PercentToDb.
    int DbToPercent(int hundredths_db) const;

private:
    static constexpr int kTableSize = 10;
    // Levels for 0 % to 9 %, where the curve is too steep for a straight segment.
    static constexpr int32_t kLowTable[kTableSize] = {-12000, -10850, -9800, -8850, -8100,
                                                      -7600,  -7150,  -6750, -6400, -6100};
};
