#pragma once

#include <cstdint>
#include <memory>

#include "utils/mutex.h"

class CVectorRingBuffer;

// Byte ring counted in elements of a fixed size (a 4-byte PCM frame in the buffered output).
// One thread may write while another reads: every operation except Init, Free and
// IsNeverFull holds the ring's own (recursive) lock.
class CRingBuffer : public utils::mutex {
public:
    CRingBuffer() = default;
    ~CRingBuffer() override = default;

    // Allocates room for capacity elements (plus one spare that tells full from empty).
    int Init(uint32_t element_size, uint32_t capacity);
    void Free();

    // Stores at most GetFreeSpace() of count elements; returns how many were stored.
    uint32_t Write(const uint8_t* src, uint32_t count);
    // Copies out at most GetFillLevel() of count elements; returns how many were copied.
    uint32_t Read(uint8_t* dst, uint32_t count);
    // Empties the ring without touching the data.
    void Reset();

    uint32_t GetFillLevel();
    uint32_t GetFreeSpace();
    uint32_t GetSize() const { return m_size - 1; }
    bool IsNeverFull() const { return m_never_full; }

    // Moves the read pointer back by up to count already read elements; returns the fill level.
    uint32_t FlashBack(uint32_t count);
    // With a frame-size log: moves the read pointer back to the oldest logged frame.
    uint32_t FlashBack();
    // With a frame-size log: logs the frame start and stores the 16-bit size as two elements.
    void WriteFrameSize(uint16_t size);

    // The owner may attach a frame-size log; the ring does not own it.
    void SetSizeVector(CVectorRingBuffer* log) { m_size_vector = log; }

private:
    uint32_t fill_level_locked() const;
    void copy_in(const uint8_t* src, uint32_t bytes);
    void copy_out(uint8_t* dst, uint32_t bytes);

    std::unique_ptr<uint8_t[]> m_data;    // guarded by the ring's lock (allocation: owner only)
    uint32_t m_wptr = 0;                  // guarded by the ring's lock
    uint32_t m_rptr = 0;                  // guarded by the ring's lock
    uint32_t m_element_size = 1;
    uint32_t m_capacity = 0;
    uint32_t m_size = 0;                  // bytes: element size * (capacity + 1)
    uint32_t m_element_count = 0;         // guarded by the ring's lock; saturates at capacity
    bool m_never_full = true;             // guarded by the ring's lock
    CVectorRingBuffer* m_size_vector = nullptr;  // not owned
};
