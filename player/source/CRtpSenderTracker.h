#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Decides whose RTP packets play: one sender (its SSRC and address) is followed while it
// is alive; the packets of any other are ignored. Once the followed sender has sent nothing
// for kSilenceMs, the newest of the senders heard since then takes over, whatever its
// numbers (a restarted sender comes back with a new SSRC and numbers behind the old ones).
// Player thread only.
class CRtpSenderTracker final {
public:
    static constexpr int64_t kSilenceMs = 500;

    enum class Verdict {
        Follow,   // a packet of the followed sender
        Foreign,  // another sender's: ignore it
        Switch,   // its sender is followed from this packet on
    };

    // Forget every sender.
    void Reset();
    // The verdict on a packet of ssrc from address (host and port) that arrived at now_ms.
    Verdict Offer(uint32_t ssrc, const std::string& address, int64_t now_ms);
    bool HasSender() const { return m_followed.known; }
    uint32_t Ssrc() const { return m_followed.ssrc; }
    const std::string& Address() const { return m_followed.address; }
    // When the followed sender's last packet arrived.
    int64_t LastHeardMs() const { return m_followed.last_ms; }

private:
    struct Sender {
        bool known = false;
        uint32_t ssrc = 0;
        std::string address;
        int64_t first_ms = 0;
        int64_t last_ms = 0;
    };
    // Others remembered at most; the one heard longest ago makes room.
    static constexpr size_t kMaxOthers = 16;

    Sender* Remember(uint32_t ssrc, const std::string& address, int64_t now_ms);
    const Sender* Newest() const;

    Sender m_followed;
    std::vector<Sender> m_others;
};
