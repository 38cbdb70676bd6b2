#pragma once

#include <cstddef>
#include <cstdint>

// The fixed part of an RTP (version 2) packet header, as the network carries it.
struct RtpHeader {
    uint8_t payload_type = 0;
    bool marker = false;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    size_t payload_offset = 0;  // first payload byte, after CSRCs and an extension
    size_t payload_size = 0;    // without the padding
};

// Reads the header of one datagram. False for anything that is no RTP version 2 packet
// with a payload (too short, other version, CSRCs, extension or padding beyond its end).
bool ParseRtpHeader(const uint8_t* data, size_t size, RtpHeader& header);
