#pragma once

#include <atomic>
#include <cstdint>

#include "player/include/PlayerHealth.h"

// The running figures of the current network stream. The player owns one and starts it
// with every stream item; the buffered output it hands the object to counts into it.
// Writers: the player thread; readers: any thread (every member is atomic).
class CStreamHealth final {
public:
    // A new stream item: every count back to 0, the age from now.
    void Start();
    // No stream any more (stop, idle, a local file, a new item).
    void End() { m_active = false; }
    bool Active() const { return m_active; }

    void AddReconnect() { ++m_reconnects; }
    void AddUnderrun() { ++m_underruns; }
    void AddDuplicated(uint64_t frames) { m_duplicated += frames; }
    void AddDropped(uint64_t frames) { m_dropped += frames; }
    void AddLost(uint64_t packets) { m_lost += packets; }
    void AddForeign(uint64_t packets) { m_foreign += packets; }
    void SetLevel(uint32_t ms) { m_buffer_ms = ms; }
    void SetTarget(uint32_t ms) { m_target_ms = ms; }
    // Decoded audio the stream delivered: frames at the stream's own rate.
    void AddAudio(uint64_t frames, uint32_t rate);
    // Milliseconds of decoded audio since Start (0 while no stream item is on).
    uint64_t AudioMs() const;

    OrvanePlayer::StreamHealth Read() const;
    OrvanePlayer::RtpSenderHealth ReadRtpSender() const;

private:
    std::atomic<bool> m_active{false};
    std::atomic<int64_t> m_start_ms{0};  // monotonic
    std::atomic<uint32_t> m_buffer_ms{0};
    std::atomic<uint32_t> m_target_ms{0};
    std::atomic<uint64_t> m_underruns{0};
    std::atomic<uint64_t> m_duplicated{0};
    std::atomic<uint64_t> m_dropped{0};
    std::atomic<uint64_t> m_lost{0};
    std::atomic<uint64_t> m_foreign{0};
    std::atomic<uint64_t> m_reconnects{0};
    std::atomic<uint64_t> m_audio_us{0};
};
