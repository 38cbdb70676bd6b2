#include "player/source/CRtpReceiver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "player/source/RtpHeader.h"
#include "utils/CLogger.h"
#include "utils/MonotonicClock.h"

namespace {

constexpr int kReceiveBufferBytes = 256 * 1024;
constexpr size_t kMaxDatagram = 65536;
// Datagrams taken from one socket before the others get their turn.
constexpr int kMaxBurst = 256;
// MPEG audio payloads begin with four bytes of their own (zero, then the fragment offset).
constexpr size_t kMpegAudioHeader = 4;

int64_t NowMs()
{
    const timespec now = utils::monotonic_now();
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string AddressText(const sockaddr_storage& address)
{
    char host[NI_MAXHOST] = "";
    char port[NI_MAXSERV] = "";
    const socklen_t length =
        address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof(host), port, sizeof(port),
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "?";
    }
    return address.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + port : std::string(host) + ":" + port;
}

// The address of a resolver answer, copied: its sockaddr is less aligned than the
// family's own structures (which matters on the device).
sockaddr_storage AddressOf(const addrinfo* info)
{
    sockaddr_storage address{};
    memcpy(&address, info->ai_addr, std::min(static_cast<size_t>(info->ai_addrlen), sizeof(address)));
    return address;
}

bool IsMulticast(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET) {
        return IN_MULTICAST(ntohl(reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr));
    }
    if (address.ss_family == AF_INET6) {
        return IN6_IS_ADDR_MULTICAST(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
    }
    return false;
}

// The host part of two socket addresses, whatever their ports (IPv4 also as IPv6-mapped).
bool SameHost(const sockaddr_storage& a, const sockaddr_storage& b)
{
    auto v4_of = [](const sockaddr_storage& s, in_addr& out) {
        if (s.ss_family == AF_INET) {
            out = reinterpret_cast<const sockaddr_in&>(s).sin_addr;
            return true;
        }
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(s);
        if (s.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            memcpy(&out, v6.sin6_addr.s6_addr + 12, sizeof(out));
            return true;
        }
        return false;
    };
    in_addr a4{};
    in_addr b4{};
    if (v4_of(a, a4) && v4_of(b, b4)) {
        return a4.s_addr == b4.s_addr;
    }
    if (a.ss_family == AF_INET6 && b.ss_family == AF_INET6) {
        return memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                      &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr, sizeof(in6_addr)) == 0;
    }
    return false;
}

struct AddrInfoFree {
    void operator()(addrinfo* info) const noexcept { freeaddrinfo(info); }
};

}  // namespace

CRtpReceiver::Socket& CRtpReceiver::Socket::operator=(Socket&& other) noexcept
{
    if (this != &other) {
        reset(other.m_fd);
        other.m_fd = -1;
    }
    return *this;
}

void CRtpReceiver::Socket::reset(int fd)
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = fd;
}

CRtpReceiver::CRtpReceiver() : m_datagram(kMaxDatagram)
{
    set_player_prefix(kDefaultPrefix);
}

CRtpReceiver::~CRtpReceiver() = default;

void CRtpReceiver::set_player_prefix(const char* text)
{
    APlayerInfoAdapter::set_player_prefix((std::string(text ? text : "") + " RTP:").c_str());
}

void CRtpReceiver::SetInterrupt(int (*callback)(void*), void* context)
{
    m_interrupt = callback;
    m_interrupt_context = context;
}

int CRtpReceiver::Open(const std::string& url)
{
    Close();
    char host[256] = "";
    int port = -1;
    av_url_split(nullptr, 0, nullptr, 0, host, sizeof(host), &port, nullptr, 0, url.c_str());
    if (port <= 0 || port > 65534) {
        utils::logger.error("%s ERROR :CRtpReceiver::Open(): no port to receive on in %s", get_player_prefix(),
                            url.c_str());
        return -EINVAL;
    }
    int result = ResolveAllowedSource();
    if (result == 0) {
        result = Bind(host, port, m_data, true);
    }
    if (result < 0) {
        utils::logger.error("%s ERROR :CRtpReceiver::Open(): cannot receive %s: %s", get_player_prefix(),
                            url.c_str(), strerror(-result));
        return result;
    }
    // RTCP goes to the next port; taken and dropped, so that a sender gets no refusals.
    if (Bind(host, port + 1, m_control, true) < 0) {
        m_control.reset();
    }
    return 0;
}

int CRtpReceiver::Bind(const std::string& host, int port, Socket& out, bool group_member)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* raw = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &raw) != 0 || !raw) {
        return -EADDRNOTAVAIL;
    }
    std::unique_ptr<addrinfo, AddrInfoFree> info(raw);
    const sockaddr_storage group = AddressOf(info.get());
    const bool multicast = IsMulticast(group);
    Socket sock(socket(info->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0) {
        return -errno;
    }
    const int one = 1;
    setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof(kReceiveBufferBytes));
    sockaddr_storage local = group;
    if (multicast) {
        // Several programs of the device may listen to the same group.
        setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    } else if (local.ss_family == AF_INET) {
        // Like libavformat: a unicast address names the stream, the port is received on any.
        reinterpret_cast<sockaddr_in&>(local).sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (local.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6&>(local).sin6_addr = in6addr_any;
    }
    if (bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), info->ai_addrlen) < 0) {
        return -errno;
    }
    if (multicast && group_member) {
        int joined = 0;
        if (info->ai_family == AF_INET) {
            ip_mreq request{};
            request.imr_multiaddr = reinterpret_cast<const sockaddr_in&>(group).sin_addr;
            request.imr_interface.s_addr = htonl(INADDR_ANY);
            joined = setsockopt(sock.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request));
        } else {
            ipv6_mreq request{};
            request.ipv6mr_multiaddr = reinterpret_cast<const sockaddr_in6&>(group).sin6_addr;
            joined = setsockopt(sock.get(), IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof(request));
        }
        if (joined < 0) {
            return -errno;
        }
    }
    out = std::move(sock);
    return 0;
}

int CRtpReceiver::ResolveAllowedSource()
{
    m_allowed.clear();
    if (m_allowed_host.empty()) {
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* raw = nullptr;
    const int r = getaddrinfo(m_allowed_host.c_str(), nullptr, &hints, &raw);
    if (r != 0 || !raw) {
        utils::logger.error("%s ERROR :CRtpReceiver::Open(): cannot resolve the RTP source %s: %s",
                            get_player_prefix(), m_allowed_host.c_str(), gai_strerror(r));
        return -EADDRNOTAVAIL;
    }
    std::unique_ptr<addrinfo, AddrInfoFree> info(raw);
    for (const addrinfo* i = info.get(); i; i = i->ai_next) {
        m_allowed.push_back(AddressOf(i));
    }
    return 0;
}

bool CRtpReceiver::Allowed(const sockaddr_storage& from) const
{
    if (m_allowed_host.empty()) {
        return true;
    }
    for (const sockaddr_storage& a : m_allowed) {
        if (SameHost(a, from)) {
            return true;
        }
    }
    return false;
}

void CRtpReceiver::Close()
{
    m_data.reset();
    m_control.reset();
    m_sequence.DropHeld();
    m_payload_type = -1;
    m_type_mismatch = false;
    DiscardWaiting();
    m_ready.clear();
    m_ready_offset = 0;
    m_appended = 0;
    m_marks.clear();
}

void CRtpReceiver::ForgetSender()
{
    m_tracker.Reset();
    m_sequence.Reset();
    m_sequence.TakeMissing();
    m_foreign = 0;
}

bool CRtpReceiver::Interrupted()
{
    return m_interrupt && m_interrupt(m_interrupt_context) != 0;
}

int CRtpReceiver::WaitForPayloadType()
{
    while (m_payload_type < 0) {
        if (m_data.get() < 0) {
            return AVERROR(EBADF);
        }
        if (Interrupted()) {
            return AVERROR_EXIT;
        }
        const int r = Pump(kPollSliceMs);
        if (r < 0) {
            return r;
        }
    }
    return m_payload_type;
}

int CRtpReceiver::Read(uint8_t* buffer, int size)
{
    if (m_data.get() < 0) {
        return AVERROR(EBADF);
    }
    while (m_ready.empty()) {
        if (m_type_mismatch) {
            return AVERROR_INVALIDDATA;
        }
        const int64_t now = NowMs();
        ReleaseReady(now);
        if (!m_ready.empty()) {
            break;
        }
        if (Interrupted()) {
            return AVERROR_EXIT;
        }
        const int64_t hold = m_sequence.WaitMs(now);
        const int r = Pump(hold >= 0 && hold < kPollSliceMs ? static_cast<int>(hold) : kPollSliceMs);
        if (r < 0) {
            return r;
        }
    }
    int copied = 0;
    while (copied < size && !m_ready.empty()) {
        const std::vector<uint8_t>& front = m_ready.front();
        const size_t n = std::min(front.size() - m_ready_offset, static_cast<size_t>(size - copied));
        memcpy(buffer + copied, front.data() + m_ready_offset, n);
        copied += static_cast<int>(n);
        m_ready_offset += n;
        if (m_ready_offset == front.size()) {
            m_ready.pop_front();
            m_ready_offset = 0;
        }
    }
    return copied;
}

// Waits up to wait_ms for datagrams and takes all that are there.
int CRtpReceiver::Pump(int wait_ms)
{
    pollfd fds[2] = {{m_data.get(), POLLIN, 0}, {m_control.get(), POLLIN, 0}};
    const nfds_t count = m_control.get() >= 0 ? 2 : 1;
    const int r = poll(fds, count, wait_ms);
    if (r < 0) {
        return errno == EINTR ? 0 : AVERROR(errno);
    }
    if (fds[0].revents & POLLIN) {
        ReceiveAll(m_data.get(), true);
    }
    if (count == 2 && (fds[1].revents & POLLIN)) {
        ReceiveAll(m_control.get(), false);
    }
    return 0;
}

void CRtpReceiver::ReceiveAll(int fd, bool data)
{
    for (int i = 0; i < kMaxBurst; ++i) {
        sockaddr_storage from{};
        socklen_t length = sizeof(from);
        const ssize_t n = recvfrom(fd, m_datagram.data(), m_datagram.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) {
            return;
        }
        if (data) {
            Take(m_datagram.data(), static_cast<size_t>(n), from, NowMs());
        }
    }
}

void CRtpReceiver::Take(const uint8_t* data, size_t size, const sockaddr_storage& from, int64_t now_ms)
{
    RtpHeader header;
    if (!ParseRtpHeader(data, size, header)) {
        return;
    }
    if (!Allowed(from)) {
        ++m_foreign;
        return;
    }
    const std::string address = AddressText(from);
    const uint8_t* payload = data + header.payload_offset;
    size_t payload_size = header.payload_size;
    if (header.payload_type == kPayloadMpegAudio) {
        if (payload_size <= kMpegAudioHeader) {
            return;
        }
        payload += kMpegAudioHeader;
        payload_size -= kMpegAudioHeader;
    }
    std::vector<uint8_t> bytes(payload, payload + payload_size);
    switch (m_tracker.Offer(header.ssrc, address, now_ms)) {
    case CRtpSenderTracker::Verdict::Follow:
        DiscardWaiting();
        Follow(header.payload_type, header.sequence, header.timestamp, std::move(bytes), now_ms);
        break;
    case CRtpSenderTracker::Verdict::Foreign:
        if (m_waiting.size() >= kMaxWaiting) {
            ++m_foreign;
            m_waiting.pop_front();
        }
        m_waiting.push_back(Waiting{header.ssrc, address, header.payload_type, header.sequence, header.timestamp,
                                    std::move(bytes)});
        break;
    case CRtpSenderTracker::Verdict::Switch:
        SwitchTo(header.ssrc, address, now_ms);
        Follow(header.payload_type, header.sequence, header.timestamp, std::move(bytes), now_ms);
        break;
    }
}

// A new sender: its numbers start a new sequence, and what it sent while the old one was
// quiet plays first, so a restarted sender is heard from its first packet.
void CRtpReceiver::SwitchTo(uint32_t ssrc, const std::string& address, int64_t now_ms)
{
    utils::logger.notice("%s  following RTP sender SSRC 0x%08" PRIX32 " from %s", get_player_prefix(), ssrc,
                         address.c_str());
    m_sequence.Reset();
    std::deque<Waiting> waiting;
    waiting.swap(m_waiting);
    for (Waiting& w : waiting) {
        if (w.ssrc == ssrc && w.address == address) {
            Follow(w.payload_type, w.sequence, w.timestamp, std::move(w.payload), now_ms);
        } else {
            ++m_foreign;
        }
    }
}

void CRtpReceiver::Follow(uint8_t payload_type, uint16_t sequence, uint32_t timestamp, std::vector<uint8_t> payload,
                          int64_t now_ms)
{
    if (m_payload_type < 0) {
        m_payload_type = payload_type;
    } else if (payload_type != m_payload_type) {
        if (!m_type_mismatch) {
            utils::logger.error("%s ERROR :CRtpReceiver: the sender changed to payload type %d from %d",
                                get_player_prefix(), payload_type, m_payload_type);
        }
        m_type_mismatch = true;
        return;
    }
    m_sequence.Push(sequence, timestamp, std::move(payload), now_ms);
}

// Packets of other senders count as ignored once it is clear that they will not play.
void CRtpReceiver::DiscardWaiting()
{
    m_foreign += m_waiting.size();
    m_waiting.clear();
}

void CRtpReceiver::ReleaseReady(int64_t now_ms)
{
    CRtpSequence::Packet packet;
    while (m_sequence.Pop(now_ms, packet)) {
        Append(packet);
    }
}

void CRtpReceiver::Append(CRtpSequence::Packet& packet)
{
    if (packet.lost_ticks > 0) {
        m_marks.push_back(LossMark{m_appended, packet.lost_ticks});
    }
    m_appended += static_cast<int64_t>(packet.payload.size());
    m_ready.push_back(std::move(packet.payload));
}

uint64_t CRtpReceiver::TakeLostTicks(int64_t end_position)
{
    uint64_t ticks = 0;
    while (!m_marks.empty() && (end_position < 0 || m_marks.front().position < end_position)) {
        ticks += m_marks.front().ticks;
        m_marks.pop_front();
    }
    return ticks;
}

uint64_t CRtpReceiver::TakeMissingPackets()
{
    return m_sequence.TakeMissing();
}

uint64_t CRtpReceiver::TakeForeignPackets()
{
    const uint64_t n = m_foreign;
    m_foreign = 0;
    return n;
}
