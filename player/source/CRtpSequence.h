#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

// The packets of the one RTP sender being followed, put back in the order of their
// sequence numbers. A packet that comes early is held until the packets before it have
// arrived, or until the hold time has passed (then they count as lost); one that comes
// after its place was given up, or twice, is dropped. What the losses cost in audio time
// is read from the time stamps. The state outlives a reconnection, so a gap across an
// outage is counted too; Reset() starts with a new sender. Player thread only.
class CRtpSequence final {
public:
    // How long an early packet waits for the ones missing before it.
    static constexpr int64_t kHoldMs = 80;
    // At most this many packets wait; beyond, the oldest gap is given up at once.
    static constexpr size_t kMaxHeld = 64;
    // A packet this far behind the expected number is not late: the sender started again.
    static constexpr uint16_t kLateWindow = 256;

    struct Packet {
        uint16_t sequence = 0;
        uint32_t timestamp = 0;
        uint32_t missing_before = 0;  // packets given up just before this one
        uint32_t lost_ticks = 0;      // their audio time, in time stamp units
        std::vector<uint8_t> payload;
    };

    // Forget the sender: the next packet starts the sequence.
    void Reset();
    // Drops what waits but keeps the expected number (a reconnection of the same stream).
    void DropHeld() { m_held.clear(); }
    // Takes a packet that arrived at now_ms; false when it was dropped (late or twice).
    bool Push(uint16_t sequence, uint32_t timestamp, std::vector<uint8_t> payload, int64_t now_ms);
    // The next packet in order, once it is there or the packets before it are given up.
    bool Pop(int64_t now_ms, Packet& out);
    // Milliseconds until Pop may give up a gap; -1 when nothing waits.
    int64_t WaitMs(int64_t now_ms) const;
    // Packets given up since the last call.
    uint64_t TakeMissing();
    // Packets dropped as late or repeated, since Reset.
    uint64_t Late() const { return m_late; }

private:
    struct Held {
        uint32_t timestamp = 0;
        int64_t arrival_ms = 0;
        std::vector<uint8_t> payload;
    };

    uint64_t Extend(uint16_t sequence, uint32_t timestamp) const;
    uint32_t LostTicks(uint32_t timestamp, uint64_t missing) const;
    void Release(std::map<uint64_t, Held>::iterator it, Packet& out);

    bool m_started = false;
    uint64_t m_next = 0;          // extended number of the packet expected next
    uint32_t m_last_timestamp = 0;
    uint32_t m_step = 0;          // time stamp advance of one packet, from the last neighbours
    std::map<uint64_t, Held> m_held;
    uint64_t m_missing = 0;       // since the last TakeMissing
    uint64_t m_late = 0;
};
