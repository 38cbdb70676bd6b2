// The agent's notifications: a real snmptrapd receives them from a real snmpd (trap2sink)
// that the built agent sends them through over AgentX. The players are status and health
// files the test writes; the call application is the scripted one.

#include "CFakeCallApp.h"
#include "SnmpTestEnv.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

using namespace snmptest;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

enum Notification { kStateChanged = 1, kSourceSwitched, kStreamTrouble, kNotRunning, kLinkChanged };
enum Column { kState = 2, kSongName, kPlaylist, kLastError, kUnderruns = 9, kReconnects = 13, kReason = 15, kSource };
constexpr int kSysId = 155;
constexpr int kAppLinkStatus = 8;
constexpr long kAnswering = 1;
constexpr long kNotAnswering = 2;
const std::string kAgentNotifications = "1.3.6.1.4.1." + std::to_string(TANDRIL_ENTERPRISE_NUMBER) + ".4.0.";

// The agent reads once a second and a new player phase must hold 2 s: 3 s after the
// change at most, and a little for the trip through snmpd on a loaded machine.
constexpr milliseconds kPlayerLatency{3500};

std::string Status(const std::string& state, const std::string& song, const std::string& playlist,
                   const std::string& error = "no error") {
  return "{\"m_player_state\":\"" + state + "\",\"m_curr_song_name\":\"" + song + "\",\"m_playlist_name\":\"" +
         playlist + "\",\"error\":\"" + error + "\"}\n";
}

// A status line of a player with backup sources, in the order the player writes it.
std::string ChainStatus(const std::string& state, const std::string& playlist, const std::string& source,
                        const std::string& reason, const std::string& error = "no error") {
  return "{\"m_player_state\":\"" + state + "\",\"m_curr_song_name\":\"\",\"m_playlist_name\":\"" + playlist +
         "\",\"source\":\"" + source + "\",\"reason\":\"" + reason + "\",\"error\":\"" + error + "\"}\n";
}

std::string Health(int underruns, int reconnects) {
  return "{\"time\":1,\"buffer_ms\":400,\"target_ms\":500,\"underruns\":" + std::to_string(underruns) +
         ",\"duplicated_frames\":0,\"dropped_frames\":0,\"lost_packets\":0,\"reconnects\":" +
         std::to_string(reconnects) + ",\"stream_age_s\":5}\n";
}

std::string Cell(int column, int channel) { return PlayerOid(column, channel); }

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

class NotificationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::setenv("MIBS", "", 1);
    s_traps = new TrapReceiver();
    s_traps->Start();
    s_master = new MasterAgent("trap2sink 127.0.0.1:" + std::to_string(s_traps->Port()) + " public\n");
    s_master->Start();
  }
  static void TearDownTestSuite() {
    delete s_master;
    s_master = nullptr;
    delete s_traps;
    s_traps = nullptr;
  }

  void TearDown() override {
    if (m_agent != nullptr) {
      const int status = m_agent->Stop();
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << m_agent->Log();
    }
  }

  // Starts the agent and waits until it serves and has taken its first readings.
  void StartAgent(const std::vector<std::string>& args, const std::string& conf_lines = "",
                  uint16_t app_port = 0) {
    AgentProcess::Options options;
    options.args = args;
    options.confLines = conf_lines;
    options.appPort = app_port != 0 ? app_port : FreeUdpPort();
    m_agent = std::make_unique<AgentProcess>(*s_master, options);
    ASSERT_TRUE(m_agent->WaitServed(HostNameOid())) << m_agent->Log();
    m_from = s_traps->Traps().size();
  }

  // The agent's notifications numbered 'number' since StartAgent (any: 0).
  std::vector<Trap> Sent(int number = 0) {
    std::vector<Trap> found;
    const std::vector<Trap>& traps = s_traps->Traps();
    for (std::size_t i = m_from; i < traps.size(); ++i) {
      const std::string& oid = traps[i].oid;
      if (number == 0 ? oid.rfind(kAgentNotifications, 0) == 0 : oid == NotificationOid(number)) {
        found.push_back(traps[i]);
      }
    }
    return found;
  }

  // Waits until 'count' notifications numbered 'number' arrived since StartAgent.
  bool WaitSent(int number, std::size_t count, milliseconds limit) {
    return s_traps->WaitUntil([&](const std::vector<Trap>&) { return Sent(number).size() >= count; }, limit);
  }

  // Waits the time in which a notification would come, then checks how many came.
  void ExpectNoMore(std::size_t total, const char* what) {
    std::this_thread::sleep_for(kPlayerLatency);
    EXPECT_EQ(Sent().size(), total) << what << "\n" << m_agent->Log();
  }

  static TrapReceiver* s_traps;
  static MasterAgent* s_master;
  SnmpClient m_client{*s_master};
  TempDir m_dir;
  std::unique_ptr<AgentProcess> m_agent;
  std::size_t m_from = 0;
};

TrapReceiver* NotificationTest::s_traps = nullptr;
MasterAgent* NotificationTest::s_master = nullptr;

TEST_F(NotificationTest, PlayerStatesAreSentOncePerChangeAndFlickersNotAtAll) {
  const std::string status = m_dir.File("status");
  const std::string missing = m_dir.File("missing");
  WriteFile(status, Status("1", "Song%20one", "p.m3u"));
  StartAgent({"--player-status", "1=" + status, "--player-status", "2=" + missing});

  // What the agent found (a player playing, one not running) is not news; nor is the
  // step between two tracks, or buffering for a second.
  WriteFile(status, Status("3", "Song%20one", "p.m3u"));
  std::this_thread::sleep_for(milliseconds(300));
  WriteFile(status, Status("4", "Song%20two", "p.m3u"));
  std::this_thread::sleep_for(milliseconds(300));
  WriteFile(status, Status("1", "Song%20two", "p.m3u"));
  std::this_thread::sleep_for(milliseconds(1000));
  WriteFile(status, Status("5", "Song%20two", "p.m3u"));
  std::this_thread::sleep_for(milliseconds(1000));
  WriteFile(status, Status("1", "Song%20two", "p.m3u"));
  ExpectNoMore(0, "established states and flickers");

  // Playing to buffering for good: one notification with the state, song and playlist.
  auto changed = Clock::now();
  WriteFile(status, Status("5", "Caf%C3%A9%20%22Noir%22", "http://127.0.0.1/live"));
  ASSERT_TRUE(WaitSent(kStateChanged, 1, milliseconds(10000))) << m_agent->Log();
  Trap trap = Sent(kStateChanged)[0];
  EXPECT_LE(Seconds(trap.seen - changed), Seconds(kPlayerLatency));
  EXPECT_EQ(trap.Int(Cell(kState, 1)), 5);
  EXPECT_EQ(trap.Text(Cell(kSongName, 1)), "Caf\xC3\xA9 \"Noir\"");
  EXPECT_EQ(trap.Text(Cell(kPlaylist, 1)), "http://127.0.0.1/live");
  // Other states that are not playing change nothing.
  WriteFile(status, Status("6", "", "http://127.0.0.1/live", "-1002"));
  ExpectNoMore(1, "not playing to not playing");

  changed = Clock::now();
  WriteFile(status, Status("1", "Back", "http://127.0.0.1/live"));
  ASSERT_TRUE(WaitSent(kStateChanged, 2, milliseconds(10000))) << m_agent->Log();
  trap = Sent(kStateChanged)[1];
  EXPECT_LE(Seconds(trap.seen - changed), Seconds(kPlayerLatency));
  EXPECT_EQ(trap.Int(Cell(kState, 1)), 1);
  EXPECT_EQ(trap.Text(Cell(kSongName, 1)), "Back");

  // The player goes away (its file removed; stale files are the end-to-end test's), and
  // comes back: playerNotRunning, then playerStateChanged, nothing else.
  changed = Clock::now();
  ASSERT_EQ(::unlink(status.c_str()), 0);
  ASSERT_TRUE(WaitSent(kNotRunning, 1, milliseconds(10000))) << m_agent->Log();
  trap = Sent(kNotRunning)[0];
  EXPECT_LE(Seconds(trap.seen - changed), Seconds(kPlayerLatency));
  EXPECT_EQ(trap.Int(Cell(kState, 1)), 7);
  changed = Clock::now();
  WriteFile(status, Status("4", "", "p.m3u"));
  ASSERT_TRUE(WaitSent(kStateChanged, 3, milliseconds(10000))) << m_agent->Log();
  trap = Sent(kStateChanged)[2];
  EXPECT_LE(Seconds(trap.seen - changed), Seconds(kPlayerLatency));
  EXPECT_EQ(trap.Int(Cell(kState, 1)), 4);
  // The player that was never there starts.
  WriteFile(missing, Status("1", "Two", "p.m3u"));
  ASSERT_TRUE(WaitSent(kStateChanged, 4, milliseconds(10000))) << m_agent->Log();
  EXPECT_EQ(Sent(kStateChanged)[3].Int(Cell(kState, 2)), 1);
  ExpectNoMore(5, "one notification per change");

  // A restarted agent finds all of it established.
  ASSERT_EQ(m_agent->Stop(), 0);
  StartAgent({"--player-status", "1=" + status, "--player-status", "2=" + missing});
  ExpectNoMore(0, "after a restart");
}

TEST_F(NotificationTest, StreamTroubleFromSilenceAndUnderruns) {
  // Channel 1: a stream that stops playing. Channel 2: a stream that under-runs.
  const std::string silent = m_dir.File("silent");
  const std::string shaky = m_dir.File("shaky");
  WriteFile(silent, Status("1", "", "http://127.0.0.1/one"));
  WriteFile(silent + ".health", Health(0, 0));
  WriteFile(shaky, Status("1", "", "http://127.0.0.1/two"));
  WriteFile(shaky + ".health", Health(0, 0));
  // Files that nobody touches every 5 s, as a running player does, must not go stale.
  StartAgent({"--player-status", "1=" + silent, "--player-status", "2=" + shaky, "--player-stale", "300"});

  // The silent stream: connecting and waiting, its error in the file.
  const auto silence = Clock::now();
  WriteFile(silent, Status("4", "", "http://127.0.0.1/one"));
  WriteFile(silent + ".health", Health(0, 3));
  std::this_thread::sleep_for(milliseconds(1500));
  WriteFile(silent, Status("6", "", "http://127.0.0.1/one", "-1002"));
  // Three under-runs within the minute, one at a time.
  const auto underruns = Clock::now();
  for (int count = 1; count <= 3; ++count) {
    WriteFile(shaky + ".health", Health(count, 1));
    std::this_thread::sleep_for(milliseconds(1200));
  }
  ASSERT_TRUE(WaitSent(kStreamTrouble, 1, milliseconds(5000))) << m_agent->Log();
  Trap trap = Sent(kStreamTrouble)[0];
  EXPECT_EQ(trap.Int(Cell(kUnderruns, 2)), 3);
  EXPECT_EQ(trap.Int(Cell(kReconnects, 2)), 1);
  EXPECT_EQ(trap.Int(Cell(kLastError, 2)), 0);
  EXPECT_LE(Seconds(trap.seen - underruns), 2 * 1.2 + Seconds(kPlayerLatency));

  // After 10 s without audio the silent stream is in trouble too.
  ASSERT_TRUE(WaitSent(kStreamTrouble, 2, milliseconds(15000))) << m_agent->Log();
  trap = Sent(kStreamTrouble)[1];
  const double after = Seconds(trap.seen - silence);
  EXPECT_GE(after, 10.0);
  EXPECT_LE(after, 10.0 + 1.5);
  EXPECT_EQ(trap.Int(Cell(kLastError, 1)), -1002);
  EXPECT_EQ(trap.Int(Cell(kReconnects, 1)), 3);

  // More under-runs within the minute, and the stream staying silent: nothing more.
  for (int count = 4; count <= 7; ++count) {
    WriteFile(shaky + ".health", Health(count, 1));
    std::this_thread::sleep_for(milliseconds(1000));
  }
  ExpectNoMore(3, "at most one a minute, one per silence");  // and one playerStateChanged
  EXPECT_EQ(Sent(kStreamTrouble).size(), 2u);
  ASSERT_EQ(Sent(kStateChanged).size(), 1u);
  EXPECT_EQ(Sent(kStateChanged)[0].Int(Cell(kState, 1)), 6);
}

TEST_F(NotificationTest, CallApplicationLinkChangesOnceEach) {
  CFakeCallApp app;
  app.SetReply("{\"mode\":\"FDX\",\"hasRegistered\":\"Yes\"}");
  // No player: the machine's own status file, if any, is no business of this test.
  StartAgent({"--player-status", "1="}, "", app.Port());
  // Established: the application answered before the agent's first look.
  for (int i = 0; i < 50 && m_client.GetInt(TandrilOid(kSysId, kAppLinkStatus)) != kAnswering; ++i) {
    std::this_thread::sleep_for(milliseconds(100));
  }
  ASSERT_EQ(m_client.GetInt(TandrilOid(kSysId, kAppLinkStatus)), kAnswering);
  std::this_thread::sleep_for(milliseconds(1500));

  // Silent: the agent sees it when its one-second wait for the answer ends.
  auto changed = Clock::now();
  app.SetSilent(true);
  ASSERT_TRUE(WaitSent(kLinkChanged, 1, milliseconds(10000))) << m_agent->Log();
  Trap trap = Sent(kLinkChanged)[0];
  const std::string link = TandrilOid(kSysId, kAppLinkStatus);
  EXPECT_EQ(trap.Int(link), kNotAnswering);
  // Up to a pause and a wait of a second each, then the notification within 3 s.
  EXPECT_LE(Seconds(trap.seen - changed), 2.0 + 3.0);
  EXPECT_EQ(m_client.GetInt(link), kNotAnswering);

  changed = Clock::now();
  app.SetSilent(false);
  ASSERT_TRUE(WaitSent(kLinkChanged, 2, milliseconds(10000))) << m_agent->Log();
  trap = Sent(kLinkChanged)[1];
  EXPECT_EQ(trap.Int(link), kAnswering);
  EXPECT_LE(Seconds(trap.seen - changed), 2.0 + 3.0);
  ExpectNoMore(2, "one notification per change");
}

TEST_F(NotificationTest, NotificationsOffByFileAndBackOnByOption) {
  const std::string status = m_dir.File("status");
  WriteFile(status, Status("1", "", "p.m3u"));
  CFakeCallApp app;
  app.SetReply("{}");
  StartAgent({"--player-status", "1=" + status}, "notifications no\n", app.Port());
  std::this_thread::sleep_for(milliseconds(1500));
  app.SetSilent(true);
  WriteFile(status, Status("5", "", "p.m3u"));
  std::this_thread::sleep_for(milliseconds(2500));
  ExpectNoMore(0, "notifications no");
  EXPECT_NE(m_agent->Log().find("sends no notifications"), std::string::npos) << m_agent->Log();
  ASSERT_EQ(m_agent->Stop(), 0);

  // The command line wins over the file.
  StartAgent({"--player-status", "1=" + status, "--notifications", "yes"}, "notifications no\n", app.Port());
  WriteFile(status, Status("1", "", "p.m3u"));
  ASSERT_TRUE(WaitSent(kStateChanged, 1, milliseconds(10000))) << m_agent->Log();
}

TEST_F(NotificationTest, SourceSwitchesCarryTheSourceAndTheReason) {
  const std::string status = m_dir.File("status");
  WriteFile(status, ChainStatus("1", "http://127.0.0.1/main", "main", ""));
  WriteFile(status + ".health",
            "{\"time\":1,\"buffer_ms\":400,\"target_ms\":500,\"underruns\":0,\"duplicated_frames\":0,"
            "\"dropped_frames\":0,\"lost_packets\":0,\"reconnects\":0,\"stream_age_s\":5,\"source\":\"main\","
            "\"switches\":0,\"failover_s\":2}\n");
  StartAgent({"--player-status", "1=" + status, "--player-stale", "300"});

  // The main stream stops bringing audio; after failover_s the player moves to its first
  // backup: the switch with its source and the main stream's reason, and the trouble.
  WriteFile(status, ChainStatus("6", "http://127.0.0.1/main", "main", "connection refused", "-1002"));
  std::this_thread::sleep_for(milliseconds(2000));
  const auto switched = Clock::now();
  WriteFile(status, ChainStatus("4", "http://127.0.0.1/backup", "backup1", "connection refused", "-1002"));
  ASSERT_TRUE(WaitSent(kSourceSwitched, 1, milliseconds(5000))) << m_agent->Log();
  Trap trap = Sent(kSourceSwitched)[0];
  EXPECT_LE(Seconds(trap.seen - switched), 1.5);  // read once a second, no wait to settle
  EXPECT_EQ(trap.Int(Cell(kSource, 1)), 2);
  EXPECT_EQ(trap.Text(Cell(kReason, 1)), "connection refused");
  ASSERT_TRUE(WaitSent(kStreamTrouble, 1, milliseconds(5000))) << m_agent->Log();
  trap = Sent(kStreamTrouble)[0];
  EXPECT_EQ(trap.Text(Cell(kReason, 1)), "connection refused");
  EXPECT_EQ(trap.Int(Cell(kLastError, 1)), -1002);
  WriteFile(status, ChainStatus("1", "http://127.0.0.1/backup", "backup1", ""));

  // Back to main while the backup plays: a switch, no trouble.
  std::this_thread::sleep_for(milliseconds(3000));
  WriteFile(status, ChainStatus("1", "http://127.0.0.1/main", "main", ""));
  ASSERT_TRUE(WaitSent(kSourceSwitched, 2, milliseconds(5000))) << m_agent->Log();
  trap = Sent(kSourceSwitched)[1];
  EXPECT_EQ(trap.Int(Cell(kSource, 1)), 1);
  EXPECT_EQ(trap.Text(Cell(kReason, 1)), "");
  // Two switches, one trouble, two state changes (not playing, playing again).
  ExpectNoMore(5, "one notification per switch");
  EXPECT_EQ(Sent(kStreamTrouble).size(), 1u);

  // A restarted agent finds the player on a backup: nothing.
  WriteFile(status, ChainStatus("1", "http://127.0.0.1/backup", "backup2", ""));
  std::this_thread::sleep_for(milliseconds(1500));
  ASSERT_EQ(m_agent->Stop(), 0);
  StartAgent({"--player-status", "1=" + status, "--player-stale", "300"});
  ExpectNoMore(0, "after a restart");
}
