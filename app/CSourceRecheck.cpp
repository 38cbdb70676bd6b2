#include "app/CSourceRecheck.h"

#include <pthread.h>

#include <utility>

namespace app {

CSourceRecheck::~CSourceRecheck() { Stop(); }

void CSourceRecheck::Start(const OrvanePlayer::StreamParams& params, int32_t player_id,
                           const ProbeSettings& settings) {
    SetSettings(settings);
    if (m_thread.joinable()) return;
    m_probe = OrvanePlayer::CreateStreamProbe(params, player_id);
    m_stop = false;
    m_thread = std::thread(&CSourceRecheck::Run, this);
}

void CSourceRecheck::Stop() {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_probe->Interrupt();
    m_wake.notify_all();
    m_thread.join();
}

void CSourceRecheck::SetSettings(const ProbeSettings& settings) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_settings = settings;
    m_settings_changed = true;
}

bool CSourceRecheck::Request(int source, const std::string& url) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_stop || m_source >= 0 || m_has_result) return false;
    m_source = source;
    m_url = url;
    m_wake.notify_all();
    return true;
}

int CSourceRecheck::Pending() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_source;
}

bool CSourceRecheck::TakeResult(Result& out) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_has_result) return false;
    out = m_result;
    m_has_result = false;
    return true;
}

void CSourceRecheck::Run() {
    pthread_setname_np(pthread_self(), "Recheck");
    std::unique_lock<std::mutex> lock(m_lock);
    while (true) {
        m_wake.wait(lock, [this] { return m_stop || (m_source >= 0 && !m_running); });
        if (m_stop) return;
        m_running = true;
        const int source = m_source;
        const std::string url = m_url;
        const bool settings_changed = std::exchange(m_settings_changed, false);
        const ProbeSettings settings = m_settings;
        lock.unlock();
        // The probe's settings are only touched on this thread, between its tries.
        if (settings_changed) {
            m_probe->SetTlsSettings(settings.tls);
            m_probe->SetRtpSource(settings.rtp_source);
        }
        OrvanePlayer::ProbeResult probe;
        m_probe->Probe(url, kBackAudioMs, kProbeLimitMs, probe);
        lock.lock();
        m_running = false;
        m_source = -1;
        m_result = Result{source, url, probe.code == 0, probe.reason};
        m_has_result = true;
    }
}

}  // namespace app
