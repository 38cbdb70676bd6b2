#include "player/output/CRingBuffer.h"
#include "utils/Assert.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "player/output/CVectorRingBuffer.h"

int CRingBuffer::Init(uint32_t element_size, uint32_t capacity) {
    utils::scoped_lock lock(*this);
    m_element_size = element_size;
    m_capacity = capacity;
    m_size = element_size * (capacity + 1);
    m_data.reset(new uint8_t[m_size]);
    m_never_full = true;
    m_wptr = 0;
    m_rptr = 0;
    return 0;
}

void CRingBuffer::Free() {
    utils::scoped_lock lock(*this);
    m_data.reset();
    // Without an array the ring is empty and full at once: nothing can be stored or read.
    m_capacity = 0;
    m_size = 0;
    m_wptr = 0;
    m_rptr = 0;
}

uint32_t CRingBuffer::fill_level_locked() const {
    if (m_element_size == 0)
        return 0;
    uint32_t bytes = m_wptr - m_rptr;
    if (m_wptr < m_rptr)
        bytes = m_wptr + m_size - m_rptr;
    return bytes / m_element_size;
}

uint32_t CRingBuffer::GetFillLevel() {
    utils::scoped_lock lock(*this);
    return fill_level_locked();
}

uint32_t CRingBuffer::GetFreeSpace() {
    utils::scoped_lock lock(*this);
    return m_capacity - fill_level_locked();
}

void CRingBuffer::copy_in(const uint8_t* src, uint32_t bytes) {
    if (m_wptr + bytes > m_size) {
        const uint32_t first = m_size - m_wptr;
        std::memcpy(m_data.get() + m_wptr, src, first);
        m_wptr = 0;
        if (m_size_vector)
            m_size_vector->reset_fill_state();
        m_never_full = false;
        src += first;
        bytes -= first;
    }
    std::memcpy(m_data.get() + m_wptr, src, bytes);
    m_wptr += bytes;
    if (m_wptr == m_size)
        m_wptr = 0;
}

void CRingBuffer::copy_out(uint8_t* dst, uint32_t bytes) {
    if (m_rptr + bytes > m_size) {
        const uint32_t first = m_size - m_rptr;
        std::memcpy(dst, m_data.get() + m_rptr, first);
        m_rptr = 0;
        dst += first;
        bytes -= first;
    }
    std::memcpy(dst, m_data.get() + m_rptr, bytes);
    m_rptr += bytes;
    if (m_rptr == m_size)
        m_rptr = 0;
}

uint32_t CRingBuffer::Write(const uint8_t* src, uint32_t count) {
    utils::scoped_lock lock(*this);
    const uint32_t n = std::min(count, m_capacity - fill_level_locked());
    if (n == 0)
        return 0;
    copy_in(src, n * m_element_size);
    m_element_count = static_cast<uint32_t>(
        std::min<uint64_t>(static_cast<uint64_t>(m_element_count) + n, m_capacity));
    return n;
}

uint32_t CRingBuffer::Read(uint8_t* dst, uint32_t count) {
    utils::scoped_lock lock(*this);
    // Reading past the fill level would hand out stale data and move the read pointer
    // past the write pointer, turning an empty ring into a full one.
    const uint32_t n = std::min(count, fill_level_locked());
    if (n > 0)
        copy_out(dst, n * m_element_size);
    return n;
}

void CRingBuffer::Reset() {
    utils::scoped_lock lock(*this);
    m_rptr = m_wptr;
    m_element_count = 0;
    m_never_full = true;
    if (m_size_vector)
        m_size_vector->Reset();
}

uint32_t CRingBuffer::FlashBack(uint32_t count) {
    utils::scoped_lock lock(*this);
    // Only elements that were read and not yet overwritten can be replayed; going back
    // further than the free space would overrun the unread data.
    const uint32_t free_space = m_capacity - fill_level_locked();
    const uint32_t b = m_element_size * std::min({count, m_element_count, free_space});
    std::printf("size=%lu, element_count=%lu, m_rptr=%lu, m_wptr=%lu\n",
                static_cast<unsigned long>(m_size - 1), static_cast<unsigned long>(b),
                static_cast<unsigned long>(m_rptr), static_cast<unsigned long>(m_wptr));
    if (m_rptr >= b) {
        m_rptr -= b;
    } else if (m_never_full) {
        std::printf("Buffer was never full");
        m_rptr = 0;
    } else {
        std::printf("Buffer was full once");
        m_rptr = m_rptr + m_size - b;
    }
    std::printf("flashback m_rptr=%lu, m_wptr=%lu\n", static_cast<unsigned long>(m_rptr),
                static_cast<unsigned long>(m_wptr));
    return fill_level_locked();
}

void CRingBuffer::WriteFrameSize(uint16_t size) {
    UTILS_ASSERT(m_size_vector, "m_size_vector");
    utils::scoped_lock lock(*this);
    // The log keeps offsets into the array, not addresses: an address does not fit the
    // log's 32-bit entries on a 64-bit host.
    m_size_vector->Write(static_cast<int32_t>(m_wptr));
    // Two elements carry the two bytes; wider elements are zero-padded, never over-read.
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[2 * m_element_size]());
    std::memcpy(bytes.get(), &size, std::min<size_t>(sizeof(size), 2 * m_element_size));
    Write(bytes.get(), 2);
}

uint32_t CRingBuffer::FlashBack() {
    UTILS_ASSERT(m_size_vector, "m_size_vector");
    utils::scoped_lock lock(*this);
    const int32_t offset = m_size_vector->flash_back();
    if (offset < 0)
        return fill_level_locked();  // nothing logged since the last reset: stay put
    const uint8_t* start = m_data.get();
    std::printf("CRingBuffer::FlashBack(): Pointer is %p\n",
                static_cast<const void*>(start + offset));
    if (offset > 0 && static_cast<uint32_t>(offset) < m_size) {
        m_rptr = static_cast<uint32_t>(offset);
        std::printf("CRingBuffer::FlashBack(): Setting m_rptr to %lu\n", static_cast<unsigned long>(m_rptr));
    } else {
        std::printf("Pointer %p is below lower ring buffer range, setting m_rptr to 0\n",
                    static_cast<const void*>(start));
        m_rptr = 0;
    }
    return fill_level_locked();
}
