#include "app/CSourceChain.h"

#include <syslog.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "app/PlaylistPreparation.h"
#include "app/Report.h"
#include "player/include/PlayerHealth.h"
#include "player/include/PlayerStates.h"

namespace app {

namespace {

int32_t PlayerState(OrvanePlayer::IPlayer& player) {
    OrvanePlayer::PlaybackInfo info;
    player.GetPlaybackInfo(info);
    return info.m_player_state;
}

int64_t Scaled(int64_t ms, double scale) { return static_cast<int64_t>(static_cast<double>(ms) * scale); }

}  // namespace

double CSourceChain::TimeScaleFromEnvironment() {
    const char* text = std::getenv("QUILLON_FAILOVER_TIME_SCALE");
    if (!text || !*text) return 1.0;
    char* end = nullptr;
    const double scale = std::strtod(text, &end);
    return end && *end == '\0' && scale > 0.0 && scale <= 1000.0 ? scale : 1.0;
}

CSourceChain::CSourceChain(std::string media_root, CItemSwitcher& switcher, SourceReport& report,
                           CSourceRecheck& recheck, FailureText failure_text,
                           ForgetFailure forget_failure, double time_scale)
    : m_media_root(std::move(media_root)),
      m_switcher(switcher),
      m_report(report),
      m_recheck(recheck),
      m_failure_text(std::move(failure_text)),
      m_forget_failure(std::move(forget_failure)),
      m_first_recheck_ms(std::max<int64_t>(Scaled(kFirstRecheckMs, time_scale), 100)),
      m_max_recheck_ms(std::max<int64_t>(Scaled(kMaxRecheckMs, time_scale), 100)) {}

void CSourceChain::AddSource(int id, const std::string& label, const PlayerSetup& setup) {
    Source source;
    source.id = id;
    source.label = label;
    source.setup = setup;
    m_sources.push_back(std::move(source));
}

void CSourceChain::Configure(const PlayerSetup& main, bool playing_main, int64_t now_ms) {
    const bool on_main = playing_main || (!m_sources.empty() && m_current == 0);
    m_sources.clear();
    AddSource(SourceReport::kMain, main.item.name, main);
    const BackupSources& backups = main.backups;
    PlayerSetup stream = main;
    if (!backups.url1.empty()) {
        stream.item.name = backups.url1;
        AddSource(SourceReport::kBackup1, backups.url1, stream);
    }
    if (!backups.url2.empty()) {
        stream.item.name = backups.url2;
        AddSource(SourceReport::kBackup2, backups.url2, stream);
    }
    if (!backups.fallback_folder.empty()) {
        PlayerSetup folder = main;
        folder.item.name = kFolderPlaylistName;
        folder.init.playlist_dir = m_media_root + backups.fallback_folder + "/";
        folder.init.media_dir = folder.init.playlist_dir;
        AddSource(SourceReport::kFallback, folder.init.media_dir, folder);
    }
    m_current = 0;
    m_move_to_main = !on_main;
    m_return_at_track_end = false;
    m_last_audio_ms = now_ms;
    m_seen_audio_ms = 0;
    m_report.SetFailoverSeconds(backups.failover_s);
    m_report.Set(Active() ? SourceReport::kMain : SourceReport::kNone);
}

CSourceChain::Result CSourceChain::Tick(OrvanePlayer::IPlayer& player, int64_t now_ms,
                                        const StopWait& wait_for_stop) {
    if (m_sources.empty()) return Result::kPlaying;
    if (m_move_to_main) {
        m_move_to_main = false;
        return ReturnTo(player, 0, wait_for_stop, now_ms);
    }
    TakeRecheckResult(now_ms);
    ObserveAudio(player, now_ms);
    const int back = HighestBack();
    if (back >= 0) {
        // The fallback folder plays its track to the end first.
        if (CurrentIsFolder() && PlayerState(player) == OrvanePlayer::PLAYER_STATE_PLAYING) {
            if (!m_return_at_track_end) player.Stop(false);
            m_return_at_track_end = true;
            return Result::kPlaying;
        }
        return ReturnTo(player, static_cast<size_t>(back), wait_for_stop, now_ms);
    }
    if (FailoverDue(now_ms)) {
        const std::string reason = FailureReason();
        Source& failed = m_sources[m_current];
        failed.back = false;
        failed.interval_ms = m_first_recheck_ms;
        failed.next_try_ms = now_ms + m_first_recheck_ms;
        Report(LOG_WARNING, "Switching to " + m_sources[m_current + 1].label + " (" + reason + ").");
        return MoveTo(player, m_current + 1, wait_for_stop, now_ms);
    }
    RequestRecheck(now_ms);
    return Result::kPlaying;
}

// A stream brings audio while its decoded audio grows; the fallback folder while it plays.
void CSourceChain::ObserveAudio(OrvanePlayer::IPlayer& player, int64_t now_ms) {
    if (CurrentIsFolder()) {
        if (PlayerState(player) == OrvanePlayer::PLAYER_STATE_PLAYING) m_last_audio_ms = now_ms;
        return;
    }
    uint64_t audio_ms = 0;
    OrvanePlayer::GetStreamAudioMs(player, audio_ms);
    if (audio_ms > m_seen_audio_ms) m_last_audio_ms = now_ms;
    m_seen_audio_ms = audio_ms;
}

bool CSourceChain::FailoverDue(int64_t now_ms) const {
    const int64_t failover_ms = static_cast<int64_t>(m_sources[0].setup.backups.failover_s) * 1000;
    return failover_ms > 0 && m_current + 1 < m_sources.size() &&
           now_ms - m_last_audio_ms >= failover_ms;
}

std::string CSourceChain::FailureReason() const {
    std::string reason = m_failure_text ? m_failure_text() : std::string();
    if (reason.empty())
        reason = "no audio for " + std::to_string(m_sources[0].setup.backups.failover_s) + " s";
    return reason;
}

int CSourceChain::HighestBack() const {
    for (size_t i = 0; i < m_current; ++i)
        if (m_sources[i].back) return static_cast<int>(i);
    return -1;
}

void CSourceChain::TakeRecheckResult(int64_t now_ms) {
    CSourceRecheck::Result result;
    if (!m_recheck.TakeResult(result)) return;
    // Only sources above the one that plays are waited for.
    if (result.source < 0 || static_cast<size_t>(result.source) >= m_current) return;
    Source& source = m_sources[static_cast<size_t>(result.source)];
    // A try asked for before the configuration changed says nothing about this source.
    if (result.url != source.setup.item.name) return;
    if (result.back) {
        syslog(LOG_NOTICE, "%s plays again.", source.label.c_str());
        source.back = true;
        return;
    }
    source.interval_ms = std::min(source.interval_ms * 2, m_max_recheck_ms);
    source.next_try_ms = now_ms + source.interval_ms;
    syslog(LOG_INFO, "%s does not play yet (%s), next try in %lld ms.", source.label.c_str(),
           result.reason.c_str(), static_cast<long long>(source.interval_ms));
}

// The highest source above the current one whose time has come, one try at a time.
void CSourceChain::RequestRecheck(int64_t now_ms) {
    if (m_recheck.Pending() >= 0) return;
    for (size_t i = 0; i < m_current; ++i) {
        const Source& source = m_sources[i];
        if (source.back || source.next_try_ms > now_ms) continue;
        m_recheck.Request(static_cast<int>(i), source.setup.item.name);
        return;
    }
}

CSourceChain::Result CSourceChain::ReturnTo(OrvanePlayer::IPlayer& player, size_t index,
                                            const StopWait& wait_for_stop, int64_t now_ms) {
    Report(LOG_NOTICE, "Back to " + m_sources[index].label + ".");
    // What lies below the source played now is no longer waited for.
    for (size_t i = index; i < m_sources.size(); ++i) {
        m_sources[i].back = false;
        m_sources[i].next_try_ms = 0;
    }
    return MoveTo(player, index, wait_for_stop, now_ms);
}

CSourceChain::Result CSourceChain::MoveTo(OrvanePlayer::IPlayer& player, size_t index,
                                          const StopWait& wait_for_stop, int64_t now_ms) {
    m_return_at_track_end = false;
    if (!m_switcher.FadeOut(player, wait_for_stop)) return Result::kStopped;
    if (m_forget_failure) m_forget_failure();
    const size_t from = m_current;
    switch (m_switcher.Start(player, m_sources[index].setup, m_sources[from].setup)) {
        case CItemSwitcher::StartResult::kStarted:
            m_current = index;
            break;
        case CItemSwitcher::StartResult::kFellBack:
            Report(LOG_ERR, "The player could not be initialized for " + m_sources[index].label +
                                ", going back to " + m_sources[from].label + ".");
            break;
        case CItemSwitcher::StartResult::kEngineLost:
            Report(LOG_ERR, "The player could not be initialized again.");
            return Result::kEngineLost;
    }
    m_report.Set(m_sources[m_current].id);
    m_report.AddSwitch();
    m_last_audio_ms = now_ms;
    m_seen_audio_ms = 0;
    return Result::kPlaying;
}

}  // namespace app
