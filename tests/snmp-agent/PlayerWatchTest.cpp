// Which notifications a player's readings call for, over times that the end-to-end tests
// cannot wait for (minutes of trouble), one reading a second as the agent takes them.

#include "snmp-agent/CPlayerWatch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using players::PlayerView;

namespace {

PlayerView View(long state, const std::string& playlist = "http://127.0.0.1/live", uint32_t underruns = 0) {
  PlayerView view;
  view.state = state;
  view.playlist = playlist;
  view.health.valid = state != players::kStateNotRunning;
  view.health.underruns = underruns;
  return view;
}

// Feeds the same reading once a second from *now_s to until_s; the events together.
unsigned Hold(CPlayerWatch& watch, const PlayerView& view, int64_t& now_s, int64_t until_s) {
  unsigned events = 0;
  for (; now_s < until_s; ++now_s) events |= watch.Update(view, now_s * 1000);
  return events;
}

}  // namespace

TEST(CPlayerWatch, PhasesCountAfterTwoSecondsAndFirstReadingIsEstablished) {
  CPlayerWatch watch;
  int64_t t = 0;
  EXPECT_EQ(Hold(watch, View(5), t, 5), 0u);  // buffering when the agent started
  // Playing for two readings (a second), then buffering again: a flicker.
  EXPECT_EQ(Hold(watch, View(1), t, 7), 0u);
  EXPECT_EQ(Hold(watch, View(5), t, 9), 0u);
  // Three readings (two seconds): the change counts, once.
  EXPECT_EQ(watch.Update(View(1), t++ * 1000), 0u);
  EXPECT_EQ(watch.Update(View(1), t++ * 1000), 0u);
  EXPECT_EQ(watch.Update(View(1), t++ * 1000), CPlayerWatch::kStateChanged);
  EXPECT_EQ(Hold(watch, View(1), t, 20), 0u);
  // Not playing, then not running before it counted: only not running is sent.
  EXPECT_EQ(Hold(watch, View(4), t, 21), 0u);
  EXPECT_EQ(Hold(watch, View(players::kStateNotRunning), t, 24) & ~CPlayerWatch::kStreamTrouble,
            CPlayerWatch::kNotRunning);
  // Back, in any state.
  EXPECT_EQ(Hold(watch, View(0, "p.m3u"), t, 27), CPlayerWatch::kStateChanged);
}

TEST(CPlayerWatch, TroubleAtMostOnceAMinuteAndOnlyWhileItStands) {
  CPlayerWatch watch;
  int64_t t = 0;
  EXPECT_EQ(Hold(watch, View(1), t, 5), 0u);
  // Three under-runs within a minute: trouble at the third.
  EXPECT_EQ(Hold(watch, View(1, "http://127.0.0.1/live", 1), t, 20), 0u);
  EXPECT_EQ(Hold(watch, View(1, "http://127.0.0.1/live", 2), t, 40), 0u);
  EXPECT_EQ(watch.Update(View(1, "http://127.0.0.1/live", 3), t * 1000), CPlayerWatch::kStreamTrouble);
  const int64_t first = t++;
  // Three more at once: due, but sent only when the minute since the first is over.
  EXPECT_EQ(Hold(watch, View(1, "http://127.0.0.1/live", 6), t, first + 60), 0u);
  EXPECT_EQ(watch.Update(View(1, "http://127.0.0.1/live", 6), t++ * 1000), CPlayerWatch::kStreamTrouble);
  const int64_t second = t - 1;
  // The stream goes silent: 10 s later it would be trouble, but the minute is not over;
  // it plays again before then, so nothing is left to send.
  EXPECT_EQ(Hold(watch, View(4, "http://127.0.0.1/live", 6), t, second + 30) & CPlayerWatch::kStreamTrouble, 0u);
  EXPECT_EQ(Hold(watch, View(1, "http://127.0.0.1/live", 6), t, second + 120) & CPlayerWatch::kStreamTrouble, 0u);
  // Silent again for good: trouble after 10 s, once, however long it lasts.
  const int64_t silent = t;
  unsigned events = 0;
  for (; t < silent + 10; ++t) events |= watch.Update(View(6, "http://127.0.0.1/live", 6), t * 1000);
  EXPECT_EQ(events & CPlayerWatch::kStreamTrouble, 0u);
  EXPECT_EQ(watch.Update(View(6, "http://127.0.0.1/live", 6), t++ * 1000) & CPlayerWatch::kStreamTrouble,
            CPlayerWatch::kStreamTrouble);
  EXPECT_EQ(Hold(watch, View(6, "http://127.0.0.1/live", 6), t, t + 300) & CPlayerWatch::kStreamTrouble, 0u);
  // A folder that does not play is no stream in trouble; nor is a paused stream.
  EXPECT_EQ(Hold(watch, View(4, "p.m3u"), t, t + 100) & CPlayerWatch::kStreamTrouble, 0u);
  EXPECT_EQ(Hold(watch, View(2), t, t + 100) & CPlayerWatch::kStreamTrouble, 0u);
}

TEST(CPlayerWatch, TroubleFoundAtStartIsEstablished) {
  CPlayerWatch watch;
  int64_t t = 0;
  // Silent when the agent started, and under-runs already counted: nothing.
  EXPECT_EQ(Hold(watch, View(6, "http://127.0.0.1/live", 40), t, 100), 0u);
  // A new silence after the stream played again is news.
  EXPECT_EQ(Hold(watch, View(1, "http://127.0.0.1/live", 40), t, 110), CPlayerWatch::kStateChanged);
  EXPECT_EQ(Hold(watch, View(4, "http://127.0.0.1/live", 40), t, 122),
            CPlayerWatch::kStateChanged | CPlayerWatch::kStreamTrouble);
}

TEST(CPlayerWatch, SourceSwitchesAndTheSilenceThatCausedThem) {
  CPlayerWatch watch;
  int64_t t = 0;
  PlayerView view = View(1);
  view.source = players::kSourceBackup1;  // found on a backup when the agent started
  EXPECT_EQ(Hold(watch, view, t, 5), 0u);
  // Back to main while playing: a switch, no trouble.
  view.source = players::kSourceMain;
  EXPECT_EQ(watch.Update(view, t++ * 1000), CPlayerWatch::kSourceSwitched);
  // Without backups the line names no source: still main.
  view.source = players::kSourceNone;
  EXPECT_EQ(Hold(watch, view, t, 10), 0u);
  // Silent for the player's failover_s (3 s), then down to the fallback folder: trouble
  // with the switch, once.
  view.state = 6;
  view.health.failover_s = 3;
  view.source = players::kSourceMain;
  EXPECT_EQ(Hold(watch, view, t, 13) & CPlayerWatch::kStreamTrouble, 0u);
  view = View(4, "p.m3u");
  view.source = players::kSourceFallback;
  EXPECT_EQ(watch.Update(view, t++ * 1000), CPlayerWatch::kSourceSwitched | CPlayerWatch::kStreamTrouble);
  EXPECT_EQ(Hold(watch, view, t, t + 100) & CPlayerWatch::kStreamTrouble, 0u);
  // Back up the chain while the folder is between tracks: a switch only, no trouble.
  view = View(6, "http://127.0.0.1/b1");
  view.source = players::kSourceBackup1;
  EXPECT_EQ(watch.Update(view, t++ * 1000), CPlayerWatch::kSourceSwitched);
  // Killed and started again on main: no switch.
  EXPECT_EQ(Hold(watch, View(players::kStateNotRunning), t, t + 3), CPlayerWatch::kNotRunning);
  view = View(1);
  view.source = players::kSourceMain;
  EXPECT_EQ(Hold(watch, view, t, t + 3), CPlayerWatch::kStateChanged);
}
