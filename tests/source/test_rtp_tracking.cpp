// RTP bookkeeping: the header parser, the order and losses of the followed sender's
// packets and which sender is followed (without a network), then the receiver on a
// loopback port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/error.h>
}

#include "player/source/CRtpReceiver.h"
#include "player/source/CRtpSenderTracker.h"
#include "player/source/CRtpSequence.h"
#include "player/source/RtpHeader.h"
#include "tests/support/net/FreePorts.h"

namespace {

// 1152 samples at 44100 Hz on the 90 kHz clock of MPEG audio: one MP3 frame per packet.
constexpr uint32_t kStep = 2351;

std::vector<uint8_t> Payload(uint16_t sequence) { return {static_cast<uint8_t>(sequence), 0xAB}; }

struct Played {
    uint16_t sequence;
    uint32_t missing;
    uint32_t lost_ticks;
};

std::vector<Played> PopAll(CRtpSequence& sequence, int64_t now_ms)
{
    std::vector<Played> out;
    CRtpSequence::Packet packet;
    while (sequence.Pop(now_ms, packet)) {
        out.push_back({packet.sequence, packet.missing_before, packet.lost_ticks});
    }
    return out;
}

void Push(CRtpSequence& sequence, uint16_t number, int64_t now_ms, uint32_t base = 1000)
{
    sequence.Push(number, base + static_cast<uint32_t>(static_cast<uint16_t>(number - 100)) * kStep, Payload(number),
                  now_ms);
}

}  // namespace

TEST(RtpHeader, ReadsTheFixedHeaderAndFindsThePayload)
{
    // Version 2, padding, extension, one CSRC; marker, payload type 14.
    std::vector<uint8_t> packet = {0xB1, 0x8E, 0x12, 0x34, 0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04,
                                   0xCC, 0xCC, 0xCC, 0xCC,               // CSRC
                                   0xBE, 0xDE, 0x00, 0x01, 0, 0, 0, 0,   // extension of one word
                                   0x11, 0x22, 0x33,                     // payload
                                   0x00, 0x02};                          // two bytes of padding
    RtpHeader header;
    ASSERT_TRUE(ParseRtpHeader(packet.data(), packet.size(), header));
    EXPECT_TRUE(header.marker);
    EXPECT_EQ(14, header.payload_type);
    EXPECT_EQ(0x1234, header.sequence);
    EXPECT_EQ(0xDEADBEEFu, header.timestamp);
    EXPECT_EQ(0x01020304u, header.ssrc);
    EXPECT_EQ(24u, header.payload_offset);
    EXPECT_EQ(3u, header.payload_size);

    // No RTP: too short, version 1, an extension or padding that runs past the end.
    EXPECT_FALSE(ParseRtpHeader(packet.data(), 11, header));
    std::vector<uint8_t> v1 = packet;
    v1[0] = 0x40;
    EXPECT_FALSE(ParseRtpHeader(v1.data(), v1.size(), header));
    std::vector<uint8_t> long_extension = packet;
    long_extension[19] = 0x40;
    EXPECT_FALSE(ParseRtpHeader(long_extension.data(), long_extension.size(), header));
    std::vector<uint8_t> big_padding = packet;
    big_padding.back() = 0xFF;
    EXPECT_FALSE(ParseRtpHeader(big_padding.data(), big_padding.size(), header));
}

TEST(CRtpSequence, ReordersWithinTheHoldTimeAndGivesUpGapsAfterIt)
{
    CRtpSequence sequence;
    Push(sequence, 100, 0);
    Push(sequence, 101, 10);
    ASSERT_EQ(2u, PopAll(sequence, 10).size());

    // 103 overtakes 102: it waits, and both play in order once 102 is there.
    Push(sequence, 103, 20);
    EXPECT_TRUE(PopAll(sequence, 20).empty());
    EXPECT_EQ(CRtpSequence::kHoldMs, sequence.WaitMs(20));
    Push(sequence, 102, 40);
    std::vector<Played> played = PopAll(sequence, 40);
    ASSERT_EQ(2u, played.size());
    EXPECT_EQ(102, played[0].sequence);
    EXPECT_EQ(103, played[1].sequence);
    EXPECT_EQ(0u, played[0].missing + played[1].missing);
    EXPECT_EQ(0u, sequence.TakeMissing());

    // 104 and 105 never come: 106 waits out the hold time, then plays after a gap of two
    // packets whose audio time the time stamps give.
    Push(sequence, 106, 50);
    EXPECT_TRUE(PopAll(sequence, 50 + CRtpSequence::kHoldMs - 1).empty());
    played = PopAll(sequence, 50 + CRtpSequence::kHoldMs);
    ASSERT_EQ(1u, played.size());
    EXPECT_EQ(106, played[0].sequence);
    EXPECT_EQ(2u, played[0].missing);
    EXPECT_EQ(2 * kStep, played[0].lost_ticks);
    EXPECT_EQ(2u, sequence.TakeMissing());
    EXPECT_EQ(0u, sequence.TakeMissing());

    // 105 arrives after all: too late, dropped; so is a second 106.
    Push(sequence, 105, 200);
    Push(sequence, 106, 200);
    EXPECT_TRUE(PopAll(sequence, 200).empty());
    EXPECT_EQ(2u, sequence.Late());
}

TEST(CRtpSequence, CountsAcrossTheWrapAndAnOutageAndFollowsANewStart)
{
    CRtpSequence sequence;
    Push(sequence, 65534, 0);
    Push(sequence, 65535, 10);
    Push(sequence, 0, 20);
    Push(sequence, 1, 30);
    EXPECT_EQ(4u, PopAll(sequence, 30).size());
    EXPECT_EQ(0u, sequence.TakeMissing());

    // An outage of 574 packets (15 s), then the same sender again, after a reconnection
    // that dropped what was waiting.
    sequence.DropHeld();
    Push(sequence, 576, 15000);
    std::vector<Played> played = PopAll(sequence, 15000 + CRtpSequence::kHoldMs);
    ASSERT_EQ(1u, played.size());
    EXPECT_EQ(574u, played[0].missing);
    EXPECT_EQ(574 * kStep, played[0].lost_ticks);
    EXPECT_EQ(574u, sequence.TakeMissing());

    // Numbers far behind are no late packets but a sender that started again: followed at once.
    Push(sequence, 100, 16000, 5);
    Push(sequence, 101, 16010, 5);
    played = PopAll(sequence, 16010);
    ASSERT_EQ(2u, played.size());
    EXPECT_EQ(100, played[0].sequence);
    EXPECT_EQ(0u, played[0].missing + played[1].missing);

    // Too many waiting: the oldest gap is given up without waiting for the hold time.
    for (uint16_t n = 0; n < CRtpSequence::kMaxHeld; ++n) {
        Push(sequence, static_cast<uint16_t>(103 + n), 16020);
    }
    played = PopAll(sequence, 16020);
    ASSERT_EQ(CRtpSequence::kMaxHeld, played.size());
    EXPECT_EQ(1u, played[0].missing);
}

TEST(CRtpSenderTracker, FollowsOneSenderAndTheNewestAfterItsSilence)
{
    using Verdict = CRtpSenderTracker::Verdict;
    CRtpSenderTracker tracker;
    EXPECT_EQ(Verdict::Switch, tracker.Offer(0xA, "10.0.0.1:5000", 0));
    EXPECT_EQ(Verdict::Follow, tracker.Offer(0xA, "10.0.0.1:5000", 20));
    // An intruder while the sender is alive, also one that copies its SSRC from elsewhere.
    EXPECT_EQ(Verdict::Foreign, tracker.Offer(0xB, "10.0.0.2:6000", 30));
    EXPECT_EQ(Verdict::Foreign, tracker.Offer(0xA, "10.0.0.2:6000", 35));
    EXPECT_EQ(Verdict::Follow, tracker.Offer(0xA, "10.0.0.1:5000", 40));
    EXPECT_EQ(Verdict::Foreign, tracker.Offer(0xB, "10.0.0.2:6000", 40 + CRtpSenderTracker::kSilenceMs - 1));

    // The sender went quiet; the intruder keeps sending, and a restarted sender appears:
    // after the silence the newest of them is followed, the older one stays ignored.
    EXPECT_EQ(Verdict::Foreign, tracker.Offer(0xC, "10.0.0.1:5002", 100));
    EXPECT_EQ(Verdict::Foreign, tracker.Offer(0xB, "10.0.0.2:6000", 40 + CRtpSenderTracker::kSilenceMs));
    EXPECT_EQ(Verdict::Switch, tracker.Offer(0xC, "10.0.0.1:5002", 40 + CRtpSenderTracker::kSilenceMs + 5));
    EXPECT_EQ(0xCu, tracker.Ssrc());
    EXPECT_EQ("10.0.0.1:5002", tracker.Address());
    EXPECT_EQ(Verdict::Foreign, tracker.Offer(0xA, "10.0.0.1:5000", 600));
    EXPECT_EQ(Verdict::Foreign, tracker.Offer(0xB, "10.0.0.2:6000", 600));

    // After an outage the followed sender is still followed when it comes back first.
    EXPECT_EQ(Verdict::Follow, tracker.Offer(0xC, "10.0.0.1:5002", 20000));

    tracker.Reset();
    EXPECT_FALSE(tracker.HasSender());
    EXPECT_EQ(Verdict::Switch, tracker.Offer(0xB, "10.0.0.2:6000", 20010));
}

// The receiver on a real UDP port, fed by a socket of the test.
namespace {

class RtpSenderSocket {
public:
    explicit RtpSenderSocket(int port) : m_fd(socket(AF_INET, SOCK_DGRAM, 0))
    {
        m_to.sin_family = AF_INET;
        m_to.sin_port = htons(static_cast<uint16_t>(port));
        m_to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~RtpSenderSocket() { close(m_fd); }
    // One MPEG audio packet whose payload is the byte `fill`, three bytes long.
    void Send(uint32_t ssrc, uint16_t sequence, uint32_t timestamp, uint8_t fill)
    {
        uint8_t packet[12 + 4 + 3] = {0x80, 14};
        packet[2] = static_cast<uint8_t>(sequence >> 8);
        packet[3] = static_cast<uint8_t>(sequence);
        for (int i = 0; i < 4; ++i) {
            packet[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
            packet[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
        }
        memset(packet + 16, fill, 3);
        sendto(m_fd, packet, sizeof(packet), 0, reinterpret_cast<const sockaddr*>(&m_to), sizeof(m_to));
    }

private:
    int m_fd;
    sockaddr_in m_to{};
};


std::string ReadBytes(CRtpReceiver& receiver, size_t count)
{
    std::string out;
    uint8_t buffer[64];
    while (out.size() < count) {
        const int n = receiver.Read(buffer, static_cast<int>(std::min(sizeof(buffer), count - out.size())));
        if (n <= 0) {
            break;
        }
        out.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    }
    return out;
}

int GiveUpAfterTwoSeconds(void* start)
{
    return std::chrono::steady_clock::now() - *static_cast<std::chrono::steady_clock::time_point*>(start) >
           std::chrono::seconds(2);
}

}  // namespace

TEST(CRtpReceiver, HandsOnTheFollowedSendersPayloadInOrderAndMarksLosses)
{
    const int port = testkit::UnusedRtpPort();
    ASSERT_GT(port, 0);
    CRtpReceiver receiver;
    auto start = std::chrono::steady_clock::now();
    receiver.SetInterrupt(&GiveUpAfterTwoSeconds, &start);
    ASSERT_EQ(0, receiver.Open("rtp://127.0.0.1:" + std::to_string(port)));
    RtpSenderSocket sender(port);
    sender.Send(0xA, 10, 0, 'a');
    EXPECT_EQ(CRtpReceiver::kPayloadMpegAudio, receiver.WaitForPayloadType());
    // 12 overtakes 11; 13 is lost; an intruder sends in between.
    sender.Send(0xA, 12, 2 * kStep, 'c');
    sender.Send(0xB, 500, 0, 'x');
    sender.Send(0xA, 11, kStep, 'b');
    sender.Send(0xA, 14, 4 * kStep, 'e');
    EXPECT_EQ("aaabbbccceee", ReadBytes(receiver, 12));
    // The loss stands before byte 9, where 14's payload begins.
    EXPECT_EQ(0u, receiver.TakeLostTicks(9));
    EXPECT_EQ(kStep, receiver.TakeLostTicks(10));
    EXPECT_EQ(1u, receiver.TakeMissingPackets());

    // The sender falls silent; the intruder goes on and, after the silence, is followed
    // from the packets it sent during it, whatever its numbers.
    sender.Send(0xB, 501, kStep, 'y');
    std::this_thread::sleep_for(std::chrono::milliseconds(CRtpSenderTracker::kSilenceMs + 50));
    sender.Send(0xB, 502, 2 * kStep, 'z');
    start = std::chrono::steady_clock::now();
    EXPECT_EQ("yyyzzz", ReadBytes(receiver, 6));
    // Ignored were its first packet (while the sender lived) only.
    EXPECT_EQ(1u, receiver.TakeForeignPackets());
    EXPECT_EQ(0u, receiver.TakeMissingPackets());

    // A reconnection keeps the sender and its numbers: the gap across it is counted.
    receiver.Close();
    ASSERT_EQ(0, receiver.Open("rtp://127.0.0.1:" + std::to_string(port)));
    sender.Send(0xB, 510, 10 * kStep, 'q');
    start = std::chrono::steady_clock::now();
    EXPECT_EQ("qqq", ReadBytes(receiver, 3));
    EXPECT_EQ(7u, receiver.TakeMissingPackets());

    // Nothing comes: the interrupt ends the wait.
    start = std::chrono::steady_clock::now() - std::chrono::seconds(3);
    uint8_t byte = 0;
    EXPECT_EQ(AVERROR_EXIT, receiver.Read(&byte, 1));
}

TEST(CRtpReceiver, AllowedSourceIgnoresOtherHosts)
{
    const int port = testkit::UnusedRtpPort();
    ASSERT_GT(port, 0);
    CRtpReceiver receiver;
    auto start = std::chrono::steady_clock::now();
    receiver.SetInterrupt(&GiveUpAfterTwoSeconds, &start);
    receiver.SetAllowedSource("127.0.0.2");
    ASSERT_EQ(0, receiver.Open("rtp://127.0.0.1:" + std::to_string(port)));
    RtpSenderSocket sender(port);  // sends from 127.0.0.1
    sender.Send(0xA, 1, 0, 'a');
    EXPECT_EQ(AVERROR_EXIT, receiver.WaitForPayloadType());
    EXPECT_EQ(1u, receiver.TakeForeignPackets());

    receiver.SetAllowedSource("no-such-host.invalid");
    EXPECT_LT(receiver.Open("rtp://127.0.0.1:" + std::to_string(port)), 0);
}
