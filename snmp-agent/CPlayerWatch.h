#pragma once

#include "snmp-agent/PlayerFiles.h"

#include <cstdint>
#include <deque>
#include <string>

// Follows one player through the readings of its files (one a second) and says which
// notifications its changes call for. What it finds at its first reading is taken as
// established: a restarted agent reports nothing for it. Main thread only.
class CPlayerWatch final {
 public:
  // Bits of the result of Update().
  static constexpr unsigned kStateChanged = 1;   // playing <-> not playing, or back running
  static constexpr unsigned kNotRunning = 2;     // status file missing or stale
  static constexpr unsigned kSourceSwitched = 4;  // a backup, the fallback folder, or back
  static constexpr unsigned kStreamTrouble = 8;  // silent stream or repeated under-runs

  // A new phase counts once it has held this long: shorter flickers (a stream buffering
  // for a moment, the step between two tracks) send nothing. A little under two seconds,
  // so that three readings a second apart reach it however the clock ticks.
  static constexpr int64_t kSettleMs = 1900;
  // A stream silent this long without backup sources is in trouble (with them: the
  // player's failover_s, and leaving a source that brought no audio).
  static constexpr int64_t kSilentStreamMs = 10000;
  // Under-runs within this window that make trouble, and the least time between two
  // trouble notifications of one player.
  static constexpr int64_t kUnderrunWindowMs = 60000;
  static constexpr std::size_t kUnderrunsForTrouble = 3;
  static constexpr int64_t kTroubleIntervalMs = 60000;

  // The notifications that this reading, taken at monotonic time now_ms, calls for.
  unsigned Update(const players::PlayerView& view, int64_t now_ms);

 private:
  enum class Phase { kNone, kPlaying, kNotPlaying, kNotRunning };

  static Phase PhaseOf(const players::PlayerView& view);
  unsigned SettlePhase(Phase seen, int64_t now_ms);
  // A move to another source: a switch, and trouble when the source left was silent.
  unsigned WatchSource(const players::PlayerView& view);
  // Trouble due from a silent stream or from under-runs; sent as the interval allows.
  unsigned WatchTrouble(const players::PlayerView& view, int64_t now_ms);
  void WatchSilence(const players::PlayerView& view, int64_t now_ms);
  void WatchUnderruns(const players::PlayerView& view, int64_t now_ms);

  bool m_first = true;
  // The source of the latest reading of a running player; 0: none yet (or it stopped).
  int32_t m_source = 0;
  bool m_was_playing = false;  // that reading's state was playing
  bool m_switch_due = false;   // it left a source that brought no audio
  Phase m_established = Phase::kNone;
  Phase m_candidate = Phase::kNone;
  int64_t m_candidate_since_ms = 0;

  // The stream item that is silent, since when, and whether that was reported (or found
  // at the first reading).
  std::string m_silent_playlist;
  int64_t m_silent_since_ms = -1;
  bool m_silence_handled = false;
  bool m_silence_due = false;

  bool m_have_underruns = false;
  uint32_t m_underruns = 0;
  std::deque<int64_t> m_underrun_times_ms;
  bool m_underruns_due = false;

  int64_t m_last_trouble_ms = -1;  // -1: none sent yet
};
