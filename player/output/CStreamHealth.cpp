#include "player/output/CStreamHealth.h"

#include "utils/MonotonicClock.h"

namespace {
int64_t monotonic_ms() {
    const timespec now = utils::monotonic_now();
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
}  // namespace

void CStreamHealth::Start() {
    m_buffer_ms = 0;
    m_underruns = 0;
    m_duplicated = 0;
    m_dropped = 0;
    m_lost = 0;
    m_foreign = 0;
    m_reconnects = 0;
    m_audio_us = 0;
    m_start_ms = monotonic_ms();
    m_active = true;
}

OrvanePlayer::StreamHealth CStreamHealth::Read() const {
    OrvanePlayer::StreamHealth out;
    out.active = m_active;
    if (!out.active) return out;
    out.buffer_ms = m_buffer_ms;
    out.target_ms = m_target_ms;
    out.underruns = m_underruns;
    out.duplicated_frames = m_duplicated;
    out.dropped_frames = m_dropped;
    out.lost_packets = m_lost;
    out.reconnects = m_reconnects;
    const int64_t age = monotonic_ms() - m_start_ms;
    out.stream_age_ms = age > 0 ? static_cast<uint64_t>(age) : 0;
    return out;
}

void CStreamHealth::AddAudio(uint64_t frames, uint32_t rate) {
    if (rate > 0) m_audio_us += frames * 1000000 / rate;
}

uint64_t CStreamHealth::AudioMs() const { return m_active ? m_audio_us / 1000 : 0; }

OrvanePlayer::RtpSenderHealth CStreamHealth::ReadRtpSender() const {
    OrvanePlayer::RtpSenderHealth out;
    if (m_active) out.foreign_packets = m_foreign;
    return out;
}
