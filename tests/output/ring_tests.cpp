#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "player/output/CRingBuffer.h"
#include "player/output/CVectorRingBuffer.h"

namespace {
std::vector<uint8_t> frames(uint32_t count, uint32_t first) {
    std::vector<uint8_t> v(count * 4);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t value = first + i;
        std::memcpy(&v[i * 4], &value, 4);
    }
    return v;
}

uint32_t frame_at(const std::vector<uint8_t>& v, uint32_t i) {
    uint32_t value = 0;
    std::memcpy(&value, &v[i * 4], 4);
    return value;
}
}  // namespace

TEST(CRingBuffer, FillFreeAndFull) {
    CRingBuffer ring;
    ASSERT_EQ(ring.Init(4, 100), 0);
    EXPECT_EQ(ring.GetSize(), 403u);
    EXPECT_EQ(ring.GetFillLevel(), 0u);
    EXPECT_EQ(ring.GetFreeSpace(), 100u);

    const auto data = frames(100, 0);
    EXPECT_EQ(ring.Write(data.data(), 100), 100u);
    EXPECT_EQ(ring.GetFillLevel(), 100u);
    EXPECT_EQ(ring.GetFreeSpace(), 0u);
    EXPECT_EQ(ring.Write(data.data(), 5), 0u);
    EXPECT_EQ(ring.GetFillLevel(), 100u);

    std::vector<uint8_t> out(400);
    EXPECT_EQ(ring.Read(out.data(), 20), 20u);
    EXPECT_EQ(frame_at(out, 19), 19u);
    EXPECT_EQ(ring.Write(data.data(), 30), 20u);  // only the free space is stored
    EXPECT_EQ(ring.GetFillLevel(), 100u);

    ring.Reset();
    EXPECT_EQ(ring.GetFillLevel(), 0u);
    EXPECT_EQ(ring.GetFreeSpace(), 100u);
    // Reading an empty ring hands out nothing and keeps it empty.
    EXPECT_EQ(ring.Read(out.data(), 10), 0u);
    EXPECT_EQ(ring.GetFillLevel(), 0u);
}

TEST(CRingBuffer, WrapKeepsOrderAndNeverFullFlag) {
    CRingBuffer ring;
    ring.Init(4, 100);  // 101 slots
    std::vector<uint8_t> out(404);

    // Ends exactly at the end of the array: pointer back to 0, not a wrap.
    ring.Write(frames(100, 0).data(), 100);
    ring.Read(out.data(), 100);
    ring.Write(frames(1, 100).data(), 1);
    EXPECT_TRUE(ring.IsNeverFull());
    ring.Read(out.data(), 1);
    EXPECT_EQ(frame_at(out, 0), 100u);

    // Next write starts at 0; now cross the end.
    ring.Write(frames(60, 200).data(), 60);
    ring.Read(out.data(), 60);
    EXPECT_TRUE(ring.IsNeverFull());
    EXPECT_EQ(ring.Write(frames(70, 300).data(), 70), 70u);
    EXPECT_FALSE(ring.IsNeverFull());
    EXPECT_EQ(ring.GetFillLevel(), 70u);
    EXPECT_EQ(ring.Read(out.data(), 70), 70u);
    for (uint32_t i = 0; i < 70; ++i)
        ASSERT_EQ(frame_at(out, i), 300 + i) << i;
    ring.Reset();
    EXPECT_TRUE(ring.IsNeverFull());
}

TEST(CRingBuffer, FlashBackReplaysReadData) {
    CRingBuffer ring;
    ring.Init(4, 100);
    std::vector<uint8_t> out(404);
    // Wrap once, then leave the read pointer at byte 8 (two elements into the array).
    ring.Write(frames(90, 0).data(), 90);
    ring.Read(out.data(), 90);
    ring.Write(frames(13, 90).data(), 13);  // 11 to the end, 2 after the wrap
    ring.Read(out.data(), 13);
    ASSERT_FALSE(ring.IsNeverFull());
    ASSERT_EQ(ring.GetFillLevel(), 0u);
    // m_rptr is 8; going back 10 elements lands at 8 + 404 - 40.
    EXPECT_EQ(ring.FlashBack(10), 10u);
    ASSERT_EQ(ring.Read(out.data(), 10), 10u);
    for (uint32_t i = 0; i < 10; ++i)
        EXPECT_EQ(frame_at(out, i), 93 + i);

    // Never past unread data: a ring with 95 unread elements can go back 5 at most.
    CRingBuffer full;
    full.Init(4, 100);
    full.Write(frames(100, 0).data(), 100);
    full.Read(out.data(), 5);
    EXPECT_EQ(full.FlashBack(50), 100u);
    full.Read(out.data(), 1);
    EXPECT_EQ(frame_at(out, 0), 0u);

    // Before any wrap the read pointer cannot go below the array start.
    CRingBuffer fresh;
    fresh.Init(4, 100);
    fresh.Write(frames(10, 0).data(), 10);
    fresh.Read(out.data(), 4);
    EXPECT_EQ(fresh.FlashBack(50), 10u);
}

TEST(CRingBuffer, FrameSizeLogFlashBack) {
    CRingBuffer ring;
    CVectorRingBuffer log;
    ring.SetSizeVector(&log);
    ring.Init(1, 64);
    const uint8_t payload[6] = {1, 2, 3, 4, 5, 6};
    std::vector<uint8_t> out(64);

    ring.WriteFrameSize(6);
    ring.Write(payload, 6);
    ring.WriteFrameSize(6);
    ring.Write(payload, 6);
    ring.Read(out.data(), 16);
    ASSERT_EQ(ring.GetFillLevel(), 0u);
    // Back to the first logged frame: its size header and both frames become readable.
    ring.FlashBack();
    EXPECT_EQ(ring.GetFillLevel(), 16u);
    uint16_t size = 0;
    ring.Read(out.data(), 2);
    std::memcpy(&size, out.data(), 2);
    EXPECT_EQ(size, 6);

    // After a reset the log is empty: the reader stays put instead of replaying stale data.
    ring.Reset();
    EXPECT_EQ(ring.FlashBack(), 0u);
}

TEST(CVectorRingBuffer, WrapsAndFlashesBack) {
    CVectorRingBuffer v;
    EXPECT_EQ(v.flash_back(), -1);
    EXPECT_EQ(v.Write(10), 1u);
    EXPECT_EQ(v.Write(20), 2u);
    EXPECT_EQ(v.Write(30), 3u);
    EXPECT_EQ(v.flash_back(), 10);  // never wrapped: oldest entry
    v.reset_fill_state();
    EXPECT_EQ(v.Write(40), 1u);  // overwrites entry 0
    // Wrapped at 3 entries, write index 1: back 3 lands on index 1 (entry 20).
    EXPECT_EQ(v.flash_back(), 20);
    EXPECT_EQ(v.Write(50), 2u);
    EXPECT_EQ(v.Write(60), 3u);
    EXPECT_EQ(v.Write(70), 4u);  // past the end: filling mode appends
    v.Reset();
    EXPECT_EQ(v.flash_back(), -1);
}

// One writer and one reader on separate threads: every frame arrives once, in order.
TEST(CRingBuffer, ConcurrentWriterAndReaderKeepOrder) {
    CRingBuffer ring;
    ring.Init(4, 257);
    constexpr uint32_t total = 200000;
    std::atomic<bool> failed{false};
    std::thread writer([&] {
        uint32_t next = 0;
        while (next < total) {
            const uint32_t n = std::min<uint32_t>(total - next, 1 + next % 97);
            next += ring.Write(frames(n, next).data(), n);
        }
    });
    uint32_t expected = 0;
    std::vector<uint8_t> out(4 * 128);
    while (expected < total) {
        const uint32_t got = ring.Read(out.data(), 1 + expected % 128);
        for (uint32_t i = 0; i < got; ++i)
            if (frame_at(out, i) != expected + i)
                failed = true;
        expected += got;
        if (got == 0)
            std::this_thread::yield();
    }
    writer.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(ring.GetFillLevel(), 0u);
}
