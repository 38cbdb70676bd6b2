#include "player/source/CRtpSenderTracker.h"

#include <algorithm>

void CRtpSenderTracker::Reset()
{
    m_followed = Sender{};
    m_others.clear();
}

CRtpSenderTracker::Verdict CRtpSenderTracker::Offer(uint32_t ssrc, const std::string& address, int64_t now_ms)
{
    if (!m_followed.known) {
        m_followed = Sender{true, ssrc, address, now_ms, now_ms};
        return Verdict::Switch;
    }
    if (ssrc == m_followed.ssrc && address == m_followed.address) {
        m_followed.last_ms = now_ms;
        return Verdict::Follow;
    }
    Sender* other = Remember(ssrc, address, now_ms);
    if (now_ms - m_followed.last_ms < kSilenceMs || Newest() != other) {
        return Verdict::Foreign;
    }
    m_followed = *other;
    m_others.erase(m_others.begin() + (other - m_others.data()));
    return Verdict::Switch;
}

CRtpSenderTracker::Sender* CRtpSenderTracker::Remember(uint32_t ssrc, const std::string& address, int64_t now_ms)
{
    for (Sender& s : m_others) {
        if (s.ssrc == ssrc && s.address == address) {
            s.last_ms = now_ms;
            return &s;
        }
    }
    if (m_others.size() >= kMaxOthers) {
        m_others.erase(std::min_element(m_others.begin(), m_others.end(),
                                        [](const Sender& a, const Sender& b) { return a.last_ms < b.last_ms; }));
    }
    m_others.push_back(Sender{true, ssrc, address, now_ms, now_ms});
    return &m_others.back();
}

// Of the senders heard since the followed one went quiet, the one that started last.
const CRtpSenderTracker::Sender* CRtpSenderTracker::Newest() const
{
    const Sender* newest = nullptr;
    for (const Sender& s : m_others) {
        if (s.last_ms > m_followed.last_ms && (!newest || s.first_ms > newest->first_ms)) {
            newest = &s;
        }
    }
    return newest;
}
