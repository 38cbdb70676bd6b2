#include "snmp-agent/CPlayerWatch.h"

#include <algorithm>

namespace {

constexpr long kStatePlaying = 1;
constexpr long kStatePaused = 2;

// A network stream rather than the folder's "p.m3u".
bool IsStream(const std::string& playlist) { return playlist.find("://") != std::string::npos; }

}  // namespace

unsigned CPlayerWatch::Update(const players::PlayerView& view, int64_t now_ms) {
  const Phase seen = PhaseOf(view);
  if (m_first) {
    m_established = seen;
  }
  unsigned events = SettlePhase(seen, now_ms);
  events |= WatchSource(view);
  events |= WatchTrouble(view, now_ms);
  m_first = false;
  return events;
}

CPlayerWatch::Phase CPlayerWatch::PhaseOf(const players::PlayerView& view) {
  if (view.state == players::kStateNotRunning) return Phase::kNotRunning;
  return view.state == kStatePlaying ? Phase::kPlaying : Phase::kNotPlaying;
}

unsigned CPlayerWatch::SettlePhase(Phase seen, int64_t now_ms) {
  if (seen == m_established) {
    m_candidate = Phase::kNone;
    return 0;
  }
  if (seen != m_candidate) {
    m_candidate = seen;
    m_candidate_since_ms = now_ms;
  }
  if (now_ms - m_candidate_since_ms < kSettleMs) {
    return 0;
  }
  m_established = seen;
  m_candidate = Phase::kNone;
  // Back from not running, whatever the state: the operator learns it runs again.
  return seen == Phase::kNotRunning ? kNotRunning : kStateChanged;
}

unsigned CPlayerWatch::WatchSource(const players::PlayerView& view) {
  if (view.state == players::kStateNotRunning || view.state == players::kStateUnknown) {
    // A player that starts again begins on its main source: no switch to report.
    if (view.state == players::kStateNotRunning) m_source = 0;
    return 0;
  }
  // Without backup sources the status line names none: that is the main source.
  const int32_t source = view.source == players::kSourceNone ? players::kSourceMain : view.source;
  const int32_t before = m_source;
  const bool was_playing = m_was_playing;
  m_source = source;
  m_was_playing = view.state == kStatePlaying;
  if (before == 0 || before == source) return 0;
  // Down the chain from a source that brought no audio: it gave up after failover_s.
  if (!was_playing && source > before) m_switch_due = true;
  return kSourceSwitched;
}

unsigned CPlayerWatch::WatchTrouble(const players::PlayerView& view, int64_t now_ms) {
  // A player that does not run, or whose file cannot be read, says nothing about its
  // stream: keep what is known until a reading does.
  if (view.state != players::kStateNotRunning && view.state != players::kStateUnknown) {
    WatchSilence(view, now_ms);
    WatchUnderruns(view, now_ms);
  }
  if (!m_silence_due && !m_underruns_due && !m_switch_due) {
    return 0;
  }
  if (m_last_trouble_ms >= 0 && now_ms - m_last_trouble_ms < kTroubleIntervalMs) {
    return 0;  // sent when the interval is over, if the trouble still stands
  }
  m_silence_due = false;
  m_underruns_due = false;
  m_switch_due = false;
  m_last_trouble_ms = now_ms;
  return kStreamTrouble;
}

void CPlayerWatch::WatchSilence(const players::PlayerView& view, int64_t now_ms) {
  const bool silent = IsStream(view.playlist) && view.state != kStatePlaying && view.state != kStatePaused;
  if (!silent || view.playlist != m_silent_playlist) {
    // Audio again, or another item: a trouble not yet sent is over too.
    m_silent_since_ms = -1;
    m_silence_handled = false;
    m_silence_due = false;
    m_silent_playlist = view.playlist;
  }
  if (!silent) return;
  if (m_silent_since_ms < 0) {
    m_silent_since_ms = now_ms;
    m_silence_handled = m_first;  // silent already when the agent started
  }
  const int64_t limit_ms = view.health.failover_s > 0 ? int64_t{view.health.failover_s} * 1000 : kSilentStreamMs;
  if (!m_silence_handled && now_ms - m_silent_since_ms >= limit_ms) {
    m_silence_handled = true;
    m_silence_due = true;
  }
}

void CPlayerWatch::WatchUnderruns(const players::PlayerView& view, int64_t now_ms) {
  if (!view.health.valid) {
    // No stream on: the next one counts from its own start.
    m_have_underruns = false;
    return;
  }
  const uint32_t count = view.health.underruns;
  if (m_have_underruns && count > m_underruns) {
    const uint32_t added = std::min<uint32_t>(count - m_underruns, kUnderrunsForTrouble);
    m_underrun_times_ms.insert(m_underrun_times_ms.end(), added, now_ms);
  }
  m_have_underruns = true;
  m_underruns = count;  // a smaller count: a new stream item started
  while (!m_underrun_times_ms.empty() && now_ms - m_underrun_times_ms.front() >= kUnderrunWindowMs) {
    m_underrun_times_ms.pop_front();
  }
  if (m_underrun_times_ms.size() >= kUnderrunsForTrouble) {
    m_underrun_times_ms.clear();  // the next trouble needs under-runs of its own
    m_underruns_due = true;
  }
}
