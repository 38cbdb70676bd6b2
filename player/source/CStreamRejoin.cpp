#include "player/source/CStreamRejoin.h"

uint64_t CStreamRejoin::Digest(const uint8_t* data, int size) {
    // FNV-1a over the bytes and the size: cheap, and two frames of a stream that differ
    // in any byte differ here.
    uint64_t h = 1469598103934665603ull;
    for (int i = 0; i < size; ++i) {
        h ^= data[i];
        h *= 1099511628211ull;
    }
    return h ^ static_cast<uint64_t>(size);
}

uint64_t CStreamRejoin::At(int age_order) const {
    // age_order 0 is the oldest digest held.
    const size_t first = (m_next + kHistory - m_count) % kHistory;
    return m_digests[(first + static_cast<size_t>(age_order)) % kHistory];
}

int CStreamRejoin::FindLast(uint64_t digest) const {
    for (int i = Count() - 1; i >= 0; --i) {
        if (At(i) == digest) return i;
    }
    return -1;
}

void CStreamRejoin::Remember(const uint8_t* data, int size) {
    if (m_digests.empty()) m_digests.assign(kHistory, 0);
    m_digests[m_next] = Digest(data, size);
    m_next = (m_next + 1) % kHistory;
    if (m_count < kHistory) ++m_count;
}

void CStreamRejoin::Begin(bool continues) {
    m_skipped = 0;
    m_joined = false;
    m_matched = -1;
    m_joining = continues && m_count > 0;
    if (!continues) {
        m_count = 0;
        m_next = 0;
    }
}

bool CStreamRejoin::Repeats(const uint8_t* data, int size) {
    if (!m_joining) return false;
    // The first packet of the new connection is looked for from the newest end: audio
    // that repeats itself (a steady tone, silence) then gives the shortest overlap, never
    // one that swallows new audio. From there the repeat runs packet by packet to the
    // end of the history; the first packet that breaks it is new, and so is all after it.
    const uint64_t digest = Digest(data, size);
    int at = -1;
    if (m_matched < 0)
        at = FindLast(digest);
    else if (At(m_matched + 1) == digest)
        at = m_matched + 1;
    if (at < 0) {
        m_joining = false;
        m_joined = m_skipped > 0;
        return false;
    }
    m_matched = at;
    ++m_skipped;
    if (at == Count() - 1) {
        // The last packet delivered before the break: what follows is new.
        m_joining = false;
        m_joined = true;
    }
    return true;
}

bool CStreamRejoin::TakeJoined() {
    const bool joined = m_joined;
    m_joined = false;
    return joined;
}
