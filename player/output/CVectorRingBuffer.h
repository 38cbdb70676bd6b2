#pragma once

#include <cstdint>
#include <vector>

// Log of frame start offsets written into a CRingBuffer, so that its read pointer can be
// moved back by whole frames. No lock: used only under the owning ring's lock.
class CVectorRingBuffer {
public:
    virtual ~CVectorRingBuffer() = default;

    void Reset();
    // Records one entry; returns the advanced write index.
    uint32_t Write(int32_t value);
    // The ring's write pointer wrapped: start overwriting entries from the beginning.
    void reset_fill_state();
    // Steps the read index back over the logged entries and returns the entry found there,
    // or -1 when nothing has been logged.
    int32_t flash_back();

private:
    bool m_filling = true;
    bool m_never_wrapped = true;
    std::vector<int32_t> m_entries;
    uint32_t m_count_at_wrap = 0;
    uint32_t m_wptr = 0;
    uint32_t m_rptr = 0;
};
