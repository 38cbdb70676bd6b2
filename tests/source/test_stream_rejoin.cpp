// Joining a reconnected stream after the packets already delivered from the old one.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "player/source/CStreamRejoin.h"

namespace {
// A packet whose bytes name its place in the broadcast.
std::vector<uint8_t> Packet(int n) {
    const std::string text = "frame " + std::to_string(n) + " of the broadcast";
    return std::vector<uint8_t>(text.begin(), text.end());
}

void Deliver(CStreamRejoin& rejoin, int from, int to) {
    for (int n = from; n < to; ++n) {
        const std::vector<uint8_t> p = Packet(n);
        ASSERT_FALSE(rejoin.Repeats(p.data(), static_cast<int>(p.size())));
        rejoin.Remember(p.data(), static_cast<int>(p.size()));
    }
}

// Which packets of the new connection [from, to) are kept.
std::vector<int> Kept(CStreamRejoin& rejoin, int from, int to) {
    std::vector<int> kept;
    for (int n = from; n < to; ++n) {
        const std::vector<uint8_t> p = Packet(n);
        if (!rejoin.Repeats(p.data(), static_cast<int>(p.size()))) {
            kept.push_back(n);
            rejoin.Remember(p.data(), static_cast<int>(p.size()));
        }
    }
    return kept;
}
}  // namespace

TEST(CStreamRejoin, BurstOfTheNewConnectionIsLeftOutUpToTheOldEnd) {
    CStreamRejoin rejoin;
    rejoin.Begin(false);
    Deliver(rejoin, 0, 300);
    // The server's burst starts 120 packets back.
    rejoin.Begin(true);
    const std::vector<int> kept = Kept(rejoin, 180, 320);
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(300, kept.front());
    EXPECT_EQ(20u, kept.size());
    EXPECT_EQ(120u, rejoin.Skipped());
    EXPECT_FALSE(rejoin.TakeJoined() && rejoin.TakeJoined());  // once only

    // No overlap (the outage outlasted the burst), a new item, a fresh start: all kept.
    rejoin.Begin(true);
    EXPECT_EQ(10u, Kept(rejoin, 400, 410).size());
    rejoin.Begin(false);
    EXPECT_EQ(10u, Kept(rejoin, 300, 310).size());
    EXPECT_FALSE(rejoin.TakeJoined());
}

TEST(CStreamRejoin, TruncatedLastPacketAndRepeatingAudioNeverSwallowNewAudio) {
    CStreamRejoin rejoin;
    rejoin.Begin(false);
    Deliver(rejoin, 0, 50);
    // The old connection ended inside packet 50: only its first bytes were delivered.
    const std::vector<uint8_t> whole = Packet(50);
    const std::vector<uint8_t> cut(whole.begin(), whole.begin() + 5);
    rejoin.Remember(cut.data(), static_cast<int>(cut.size()));
    rejoin.Begin(true);
    const std::vector<int> kept = Kept(rejoin, 45, 55);
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(50, kept.front());  // the whole packet 50 replaces its cut copy

    // Silence or a steady tone: every packet the same. The shortest overlap is taken.
    CStreamRejoin steady;
    steady.Begin(false);
    const std::vector<uint8_t> same = Packet(7);
    for (int i = 0; i < 100; ++i) steady.Remember(same.data(), static_cast<int>(same.size()));
    steady.Begin(true);
    int left_out = 0;
    for (int i = 0; i < 100; ++i) left_out += steady.Repeats(same.data(), static_cast<int>(same.size())) ? 1 : 0;
    EXPECT_EQ(1, left_out);

    // The history is bounded: an old connection longer than it still joins at its end.
    CStreamRejoin longer;
    longer.Begin(false);
    Deliver(longer, 0, static_cast<int>(CStreamRejoin::kHistory) * 3);
    longer.Begin(true);
    const int end = static_cast<int>(CStreamRejoin::kHistory) * 3;
    const std::vector<int> after = Kept(longer, end - 100, end + 5);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(end, after.front());
}
