#include "player/output/CVectorRingBuffer.h"

#include <cstdio>

void CVectorRingBuffer::Reset() {
    m_entries.clear();
    m_wptr = 0;
    m_rptr = 0;
    m_count_at_wrap = 0;
    m_filling = true;
    m_never_wrapped = true;
}

uint32_t CVectorRingBuffer::Write(int32_t value) {
    if (!m_filling) {
        if (m_wptr < m_entries.size()) {
            m_entries[m_wptr++] = value;
            return m_wptr;
        }
        std::printf("CVectorRingBuffer::Write(): Hit end of vector prior to Notify_wrap_up(), enabling filling mode.");
        m_filling = true;
    }
    m_entries.push_back(value);
    m_wptr = static_cast<uint32_t>(m_entries.size());
    return m_wptr;
}

void CVectorRingBuffer::reset_fill_state() {
    m_count_at_wrap = m_wptr;
    m_filling = false;
    m_never_wrapped = false;
    m_wptr = 0;
    std::printf("CVectorRingBuffer::reset_fill_state(): Buffer capacity reached at size=%lu, wrapping up on next write\n",
                static_cast<unsigned long>(m_count_at_wrap));
}

int32_t CVectorRingBuffer::flash_back() {
    std::printf("CVectorRingBuffer::flash_back()");
    uint32_t k = 0;
    if (m_never_wrapped) {
        k = m_wptr;
        m_rptr = 0;
    } else {
        // Step back k entries in a log of n entries, wrapping below index 0 to its end.
        const uint32_t n = m_filling ? static_cast<uint32_t>(m_entries.size()) : m_count_at_wrap;
        k = n > 0 ? (m_filling ? n - 1 : n) : 0;
        m_rptr = m_wptr < k ? m_wptr + n - k : m_wptr - k;
    }
    std::printf("CVectorRingBuffer::flash_back(): Going %lu elements backwards --> [m_rptr=%lu,m_wptr=%lu]\n",
                static_cast<unsigned long>(k), static_cast<unsigned long>(m_rptr),
                static_cast<unsigned long>(m_wptr));
    // An index outside the log means there is nothing to go back to.
    if (m_rptr >= m_entries.size())
        return -1;
    return m_entries[m_rptr];
}
