#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "player/source/CRtpSenderTracker.h"
#include "player/source/CRtpSequence.h"
#include "utils/APlayerInfoAdapter.h"

// Receives an RTP stream on its UDP port (and drains the RTCP port beside it), follows one
// sender, puts its packets in order and hands their payload on as one byte stream, for
// libavformat's demuxer of the payload type to read through custom I/O. libavformat's own
// RTP reader keeps the headers to itself; the sender and the sequence numbers are what
// this class needs them for. Where packets were lost, the byte position after the gap is
// marked with the audio time lost, so the source can tell the output which decoded block
// follows a loss. The sender and the numbers outlive Close(): a reconnection of the same
// stream goes on counting; ForgetSender() starts anew. Player thread only.
class CRtpReceiver final : public APlayerInfoAdapter {
public:
    // Payload types of a plain rtp:// URL (no SDP): MPEG audio, MPEG transport stream.
    static constexpr int kPayloadMpegAudio = 14;
    static constexpr int kPayloadMpegTs = 33;
    // Clock of both payload types' time stamps.
    static constexpr int kClockRate = 90000;

    CRtpReceiver();
    ~CRtpReceiver() override;
    CRtpReceiver(const CRtpReceiver&) = delete;
    CRtpReceiver& operator=(const CRtpReceiver&) = delete;

    // Packets only from this host (name or address; empty: any host). Resolved at Open.
    void SetAllowedSource(const std::string& host) { m_allowed_host = host; }
    // Called while waiting for packets; a non-zero result gives up the wait.
    void SetInterrupt(int (*callback)(void*), void* context);
    // Binds the URL's port (joins its group when it is a multicast address). 0 or -errno.
    int Open(const std::string& url);
    void Close();
    // Waits for the followed sender's first packet: its payload type, or a negative
    // libavformat error (AVERROR_EXIT when interrupted).
    int WaitForPayloadType();
    // Up to size bytes of payload in order, waiting for them; for the custom I/O.
    int Read(uint8_t* buffer, int size);
    // The audio time lost before the byte at end_position (exclusive) of the byte stream,
    // in time stamp units; every mark up to there is taken.
    uint64_t TakeLostTicks(int64_t end_position);
    // Packets missing from the followed sender / packets of ignored senders, since the last call.
    uint64_t TakeMissingPackets();
    uint64_t TakeForeignPackets();
    void ForgetSender();

    void set_player_prefix(const char* text) override;

private:
    class Socket {
    public:
        Socket() = default;
        explicit Socket(int fd) : m_fd(fd) {}
        ~Socket() { reset(); }
        Socket(const Socket&) = delete;
        Socket& operator=(const Socket&) = delete;
        Socket& operator=(Socket&& other) noexcept;
        int get() const { return m_fd; }
        void reset(int fd = -1);

    private:
        int m_fd = -1;
    };
    struct Waiting {  // a packet of another sender, heard since the followed one went quiet
        uint32_t ssrc = 0;
        std::string address;
        uint8_t payload_type = 0;
        uint16_t sequence = 0;
        uint32_t timestamp = 0;
        std::vector<uint8_t> payload;
    };
    struct LossMark {
        int64_t position = 0;
        uint64_t ticks = 0;
    };
    // Packets of other senders kept for a take-over: about a second of audio.
    static constexpr size_t kMaxWaiting = 64;
    static constexpr int kPollSliceMs = 10;

    int Bind(const std::string& host, int port, Socket& out, bool group_member);
    int ResolveAllowedSource();
    bool Allowed(const sockaddr_storage& from) const;
    int Pump(int wait_ms);
    void ReceiveAll(int fd, bool data);
    void Take(const uint8_t* data, size_t size, const sockaddr_storage& from, int64_t now_ms);
    void Follow(uint8_t payload_type, uint16_t sequence, uint32_t timestamp, std::vector<uint8_t> payload,
                int64_t now_ms);
    void SwitchTo(uint32_t ssrc, const std::string& address, int64_t now_ms);
    void DiscardWaiting();
    void ReleaseReady(int64_t now_ms);
    void Append(CRtpSequence::Packet& packet);
    bool Interrupted();

    std::string m_allowed_host;
    std::vector<sockaddr_storage> m_allowed;  // resolved m_allowed_host
    int (*m_interrupt)(void*) = nullptr;
    void* m_interrupt_context = nullptr;
    Socket m_data;
    Socket m_control;
    CRtpSenderTracker m_tracker;
    CRtpSequence m_sequence;
    int m_payload_type = -1;     // of the followed sender, -1 before its first packet
    bool m_type_mismatch = false;  // the followed sender changed its payload type
    std::deque<Waiting> m_waiting;
    std::deque<std::vector<uint8_t>> m_ready;  // payload in order, not yet read
    size_t m_ready_offset = 0;   // bytes of m_ready.front() already read
    int64_t m_appended = 0;      // bytes of payload put into the stream since Open
    std::deque<LossMark> m_marks;
    uint64_t m_foreign = 0;
    std::vector<uint8_t> m_datagram;
};
