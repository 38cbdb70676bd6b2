#include "player/output/CBufferingAlgorithm.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <string>

#include "utils/CLogger.h"

namespace BufferingAlgorithm {

CBufferingAlgorithm::CBufferingAlgorithm(int level_ms, int acc_ms) {
    APlayerInfoAdapter::set_player_prefix(kDefaultPrefix);
    SetParameters(level_ms, acc_ms);
}

void CBufferingAlgorithm::set_player_prefix(const char* text) {
    APlayerInfoAdapter::set_player_prefix((std::string(text ? text : "") + " BUFFERING RTP:").c_str());
}

void CBufferingAlgorithm::SetParameters(int level_ms, int acc_ms) {
    m_acc_ms = acc_ms;
    m_filtered_level = 0.0;
    m_level_ms = level_ms;
    m_level_ticks = MsToTicks(level_ms);
    m_acc_ticks = MsToTicks(acc_ms);
    utils::logger.notice("%s Buffering [level_ms,level_ticks,acc_ms,acc_ticks] params: [%u,%lld,%u,%lld]",
                         get_player_prefix(), static_cast<unsigned>(m_level_ms),
                         static_cast<long long>(m_level_ticks), static_cast<unsigned>(m_acc_ms),
                         static_cast<long long>(m_acc_ticks));
}

void CBufferingAlgorithm::SetSampleRate(uint32_t rate) {
    if (rate == m_rate)
        return;
    // Keep the smoothed level meaning the same time span at the new rate.
    if (m_rate != 0)
        m_filtered_level = m_filtered_level * rate / m_rate;
    m_rate = rate;
    m_level_ticks = MsToTicks(m_level_ms);
    m_acc_ticks = MsToTicks(m_acc_ms);
}

int CBufferingAlgorithm::WriteFrame(uint64_t level, uint32_t samples, bool running, uint64_t* out,
                                    uint32_t lost) {
    *out = samples;
    if (!running) {
        // The filter follows the measured level while the device waits to be started.
        m_filtered_level = static_cast<double>(level);
        return WRITE_BLOCK;
    }
    if (lost > 0)
        return write_lost(level, samples, out, lost);

    m_filtered_level = std::fma(m_alpha, m_filtered_level, (1.0 - m_alpha) * static_cast<double>(level));
    correct(samples, out);
    return WRITE_BLOCK;
}

int CBufferingAlgorithm::write_lost(uint64_t level, uint32_t samples, uint64_t* out, uint32_t lost) {
    // 64-bit on purpose: a wild loss count must not wrap to a small insertion.
    *out = static_cast<uint64_t>(samples) * (static_cast<uint64_t>(lost) + 1);
    m_filtered_level = m_alpha * m_filtered_level + (1.0 - m_alpha) * static_cast<double>(level + *out);
    if (lost > 3) {
        utils::logger.error("%s ERROR :CBufferingAlgorithm::WriteFrame(): major loss of %u packets detected -> hard inserting %" PRIu64 " samples of silence\n",
                            get_player_prefix(), lost, *out);
        return WRITE_SILENCE;
    }
    utils::logger.error("%s ERROR :CBufferingAlgorithm::WriteFrame(): minor loss of %u packets detected -> replicating %" PRIu64 " samples\n",
                        get_player_prefix(), lost, *out);
    return WRITE_BLOCK;
}

void CBufferingAlgorithm::correct(uint32_t samples, uint64_t* out) {
    const int64_t delta = static_cast<int64_t>(m_filtered_level) - m_level_ticks;
    int64_t frames = samples;
    if (delta < -m_acc_ticks) {
        utils::logger.notice("%s  CBufferingAlgorithm::WriteFrame(): buffer level too low (DELTA=%lld) < -(ACC=%llu) -> duplicating %llu samples\n",
                             get_player_prefix(), static_cast<long long>(delta),
                             static_cast<unsigned long long>(m_acc_ticks),
                             static_cast<unsigned long long>(m_acc_ticks));
        frames += m_acc_ticks;
        // The filter moves by the correction so that it is not applied twice.
        m_filtered_level = std::trunc(m_filtered_level + static_cast<double>(m_acc_ticks));
    } else if (delta > m_acc_ticks) {
        utils::logger.notice("%s  CBufferingAlgorithm::WriteFrame(): buffer level too high (DELTA=%lld) > (ACC=%llu) -> dropping %llu samples\n",
                             get_player_prefix(), static_cast<long long>(delta),
                             static_cast<unsigned long long>(m_acc_ticks),
                             static_cast<unsigned long long>(m_acc_ticks));
        // A block shorter than the correction can only be dropped whole: move the filter
        // by what is really removed, or it would run below the real level for good.
        const int64_t removed = std::min<int64_t>(m_acc_ticks, samples);
        frames -= removed;
        m_filtered_level = std::trunc(m_filtered_level - static_cast<double>(removed));
    }
    *out = frames < 0 ? 0 : static_cast<uint64_t>(frames);
}

}  // namespace BufferingAlgorithm
