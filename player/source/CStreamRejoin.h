#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Joins a reconnected stream to the audio of the connection before it. A live server
// hands a new listener the last seconds it sent (its burst), which the player has
// already buffered from the old connection: those packets are recognised by their bytes
// and left out, so that the new connection's audio continues at the packet (frame) after
// the last one delivered. Player thread only.
class CStreamRejoin final {
public:
    // Packets remembered: more than the longest burst a buffer can hold (9 s of MP3 or
    // AAC frames at 48000 Hz are about 420).
    static constexpr size_t kHistory = 512;

    // A packet handed to the decoder.
    void Remember(const uint8_t* data, int size);
    // The next packets continue the remembered ones (a reconnection of the same stream);
    // otherwise (false) the history is forgotten.
    void Begin(bool continues);
    // True while the new connection repeats what was delivered before: leave it out.
    bool Repeats(const uint8_t* data, int size);
    // Packets left out since Begin.
    uint32_t Skipped() const { return m_skipped; }
    // True once after the repeated part has ended with packets left out.
    bool TakeJoined();

private:
    static uint64_t Digest(const uint8_t* data, int size);
    // Newest position of digest in the history (0 = oldest), or -1.
    int FindLast(uint64_t digest) const;
    int Count() const { return static_cast<int>(m_count); }
    uint64_t At(int age_order) const;

    std::vector<uint64_t> m_digests;  // ring of kHistory entries
    size_t m_next = 0;                // where the next digest goes
    size_t m_count = 0;               // digests held
    bool m_joining = false;           // the new connection has not passed the old end yet
    int m_matched = -1;               // history position of the last repeated packet
    uint32_t m_skipped = 0;
    bool m_joined = false;            // the repeated part ended; not yet taken
};
