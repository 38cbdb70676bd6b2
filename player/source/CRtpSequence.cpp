#include "player/source/CRtpSequence.h"

namespace {
// A time stamp step beyond this is no packet of audio (90 kHz clock: 1 s).
constexpr uint32_t kMaxStep = 90000;
}  // namespace

void CRtpSequence::Reset()
{
    m_started = false;
    m_next = 0;
    m_last_timestamp = 0;
    m_step = 0;
    m_held.clear();
    m_late = 0;
}

// The 16-bit number placed on the running count. Forward distances below half the number
// space are gaps; where the time stamps say the sender went on for longer than one round of
// numbers (a long outage), the rounds are added.
uint64_t CRtpSequence::Extend(uint16_t sequence, uint32_t timestamp) const
{
    const uint16_t forward = static_cast<uint16_t>(sequence - static_cast<uint16_t>(m_next));
    uint64_t extended = m_next + forward;
    const int32_t advance = static_cast<int32_t>(timestamp - m_last_timestamp);
    const uint64_t periods = m_step > 0 && advance > 0 ? static_cast<uint64_t>(advance) / m_step : 0;
    if (periods > 0) {
        // The last packet played is m_next - 1; by its time stamp, this one is that far on.
        const uint64_t expected = m_next + periods - 1;
        if (expected > extended + 32768) {
            extended += (expected - extended + 32768) / 65536 * 65536;
        }
    }
    return extended;
}

bool CRtpSequence::Push(uint16_t sequence, uint32_t timestamp, std::vector<uint8_t> payload, int64_t now_ms)
{
    if (!m_started) {
        m_started = true;
        m_next = sequence;
        m_last_timestamp = timestamp;
        m_step = 0;
    }
    const uint16_t behind = static_cast<uint16_t>(static_cast<uint16_t>(m_next) - sequence);
    if (behind > 0 && behind <= kLateWindow) {
        ++m_late;
        return false;
    }
    if (behind > kLateWindow && behind < 32768) {
        // Far behind: the sender started its numbers again; follow it from here.
        m_held.clear();
        m_next = sequence;
        m_last_timestamp = timestamp;
        m_step = 0;
    }
    const uint64_t extended = Extend(sequence, timestamp);
    if (m_held.count(extended)) {
        ++m_late;
        return false;
    }
    Held& held = m_held[extended];
    held.timestamp = timestamp;
    held.arrival_ms = now_ms;
    held.payload = std::move(payload);
    return true;
}

bool CRtpSequence::Pop(int64_t now_ms, Packet& out)
{
    if (m_held.empty()) {
        return false;
    }
    auto first = m_held.begin();
    if (first->first != m_next && now_ms - first->second.arrival_ms < kHoldMs && m_held.size() < kMaxHeld) {
        return false;
    }
    Release(first, out);
    return true;
}

void CRtpSequence::Release(std::map<uint64_t, Held>::iterator it, Packet& out)
{
    const uint64_t missing = it->first - m_next;
    out.sequence = static_cast<uint16_t>(it->first);
    out.timestamp = it->second.timestamp;
    out.missing_before = missing > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(missing);
    out.lost_ticks = missing > 0 ? LostTicks(it->second.timestamp, missing) : 0;
    out.payload = std::move(it->second.payload);
    if (missing == 0) {
        const uint32_t step = it->second.timestamp - m_last_timestamp;
        if (step > 0 && step <= kMaxStep) {
            m_step = step;
        }
    }
    m_missing += missing;
    m_last_timestamp = it->second.timestamp;
    m_next = it->first + 1;
    m_held.erase(it);
}

// The time stamps tell how much audio the missing packets held: the distance from the last
// packet played less that packet's own length (taken as the usual step). Where they say
// something implausible, the usual step per missing packet stands in.
uint32_t CRtpSequence::LostTicks(uint32_t timestamp, uint64_t missing) const
{
    const uint64_t by_count = missing * m_step;
    const int64_t advance = static_cast<int32_t>(timestamp - m_last_timestamp);
    const int64_t by_time = advance - static_cast<int64_t>(m_step);
    uint64_t ticks = by_count;
    if (m_step > 0 && by_time > 0 && static_cast<uint64_t>(by_time) <= 2 * (missing + 1) * m_step) {
        ticks = static_cast<uint64_t>(by_time);
    }
    return ticks > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ticks);
}

int64_t CRtpSequence::WaitMs(int64_t now_ms) const
{
    if (m_held.empty()) {
        return -1;
    }
    const auto& first = *m_held.begin();
    if (first.first == m_next) {
        return 0;
    }
    const int64_t left = first.second.arrival_ms + kHoldMs - now_ms;
    return left > 0 ? left : 0;
}

uint64_t CRtpSequence::TakeMissing()
{
    const uint64_t n = m_missing;
    m_missing = 0;
    return n;
}
