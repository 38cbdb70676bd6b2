// Why an item gives no audio, how HTTPS servers are checked and which host RTP comes from:
// what the engine keeps of them between the source and the application.
#include "player/engine/CPlayer.h"

#include "player/include/PlayerErrors.h"
#include "player/source/CAudioSource.h"
#include "player/source/CTrustStore.h"
#include "utils/CLogger.h"

using OrvanePlayer::PlaybackFailure;

PlaybackFailure CPlayer::GetFailure() const {
    std::lock_guard<std::mutex> lock(m_failure_lock);
    return m_failure;
}

void CPlayer::PublishFailure(int code, const char* where) {
    PlaybackFailure failure = m_source ? m_source->GetFailure() : PlaybackFailure();
    if (failure.cause == OrvanePlayer::FAILURE_NONE) {
        // A stage that named no cause: the error's own text is all there is.
        const char* text = OrvanePlayer::PlayerErrorText(code);
        failure.cause = OrvanePlayer::FAILURE_OTHER;
        failure.reason = text ? text : "unknown error";
    }
    failure.active = true;
    failure.code = code;
    utils::logger.error("%s ERROR :CPlayer::%s(): %s: %s\n", get_player_prefix(), where, CurrentTrack().c_str(),
                        failure.reason.c_str());
    std::lock_guard<std::mutex> lock(m_failure_lock);
    m_failure = std::move(failure);
}

void CPlayer::ClearFailure() {
    std::lock_guard<std::mutex> lock(m_failure_lock);
    m_failure = PlaybackFailure();
}

int CPlayer::SetTlsSettings(const OrvanePlayer::TlsSettings& settings) {
    std::shared_ptr<const CTrustStore> trust;
    const int result = CTrustStore::Create(settings.verify, settings.ca_file, trust);
    std::lock_guard<std::mutex> lock(m_settings_lock);
    m_trust = std::move(trust);
    return result;
}

void CPlayer::SetRtpSource(const std::string& host) {
    std::lock_guard<std::mutex> lock(m_settings_lock);
    m_rtp_source = host;
}

// Player thread, before each open: the source and its resolver take the current store,
// an RTP stream the current sender host.
void CPlayer::ApplyConnectionSettings() {
    std::shared_ptr<const CTrustStore> trust;
    std::string rtp_source;
    {
        std::lock_guard<std::mutex> lock(m_settings_lock);
        trust = m_trust;
        rtp_source = m_rtp_source;
    }
    if (!m_source) return;
    m_source->SetTrust(std::move(trust));
    m_source->SetRtpSource(rtp_source);
}
