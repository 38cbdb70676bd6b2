#include "player/source/RtpHeader.h"

namespace {

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t Read32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

constexpr size_t kFixedSize = 12;

}  // namespace

bool ParseRtpHeader(const uint8_t* data, size_t size, RtpHeader& header)
{
    if (!data || size < kFixedSize || (data[0] >> 6) != 2) {
        return false;
    }
    size_t offset = kFixedSize + 4u * (data[0] & 0x0F);
    if (data[0] & 0x10) {
        if (size < offset + 4) {
            return false;
        }
        offset += 4 + 4u * Read16(data + offset + 2);
    }
    size_t end = size;
    if (data[0] & 0x20) {
        const size_t padding = data[size - 1];
        if (padding == 0 || padding > end) {
            return false;
        }
        end -= padding;
    }
    if (offset >= end) {
        return false;
    }
    header.marker = (data[1] & 0x80) != 0;
    header.payload_type = data[1] & 0x7F;
    header.sequence = Read16(data + 2);
    header.timestamp = Read32(data + 4);
    header.ssrc = Read32(data + 8);
    header.payload_offset = offset;
    header.payload_size = end - offset;
    return true;
}
