#include "player/volume/CVolumeConvertion.h"

constexpr int32_t CVolumeConvertion::kLowTable[];

int CVolumeConvertion::PercentToDb(int percent) const {
    // Out-of-range values are clamped on the int itself: narrowing to 16 bits first would
    // index the table with a wrapped value.
    if (percent < 0)
        return kLowTable[0];
    if (percent < kTableSize)
        return kLowTable[percent];
    if (percent <= 15)
        return 200 * percent - 7900;
    if (percent <= 24)
        return 122 * percent - 6656;
    if (percent <= 49)
        return 74 * percent - 5450;
    if (percent <= 100)
        return 36 * percent - 3550;
    return 50;
}

int CVolumeConvertion::DbToPercent(int h) const {
    if (h > 50)
        return 100;
    if (h >= -1800)
        return (h + 3550) / 36;
    if (h >= -3600)
        return (h + 5450) / 74;
    if (h >= -4800)
        return (h + 6656) / 122;
    if (h >= -5900)
        return (h + 7900) / 200;
    for (int i = kTableSize - 1; i >= 0; --i)
        if (h >= kLowTable[i])
            return i;
    return 0;
}
