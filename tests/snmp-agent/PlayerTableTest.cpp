// The players' table of the agent: a real snmpd, the built agent, and player status and
// health files that the test writes (missing, stale, broken, escaped, non-ASCII).

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

namespace {

enum Column {
  kState = 2,
  kSongName,
  kPlaylist,
  kLastError,
  kHealthData,
  kBufferMs,
  kTargetMs,
  kUnderruns,
  kDuplicatedFrames,
  kDroppedFrames,
  kLostPackets,
  kReconnects,
  kStreamAge,
  kReason,
  kSource,
  kSwitches,
};
constexpr long kNotRunning = 7;
constexpr long kUnknown = 8;

std::string Status(const std::string& state, const std::string& song, const std::string& playlist,
                   const std::string& error = "no error", const std::string& reason = "") {
  return "{\"m_player_state\":\"" + state + "\",\"m_curr_song_name\":\"" + song + "\",\"m_playlist_name\":\"" +
         playlist + "\"," + (reason.empty() ? "" : "\"reason\":\"" + reason + "\",") + "\"error\":\"" + error +
         "\"}\n";
}

void Age(const std::string& path, int seconds) {
  const time_t then = std::time(nullptr) - seconds;
  const timespec times[2] = {{then, 0}, {then, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Writes beside and renames, as the player does.
void Replace(const std::string& path, const std::string& text) {
  WriteFile(path + ".new", text);
  ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
}

}  // namespace

class PlayerTableTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::setenv("MIBS", "", 1);
    s_master = new MasterAgent();
    s_master->Start();
  }
  static void TearDownTestSuite() {
    delete s_master;
    s_master = nullptr;
  }

  void StartAgent(const std::vector<std::string>& args, const std::string& conf_lines = "",
                  const std::string& run_dir = "") {
    AgentProcess::Options options;
    options.args = args;
    options.confLines = conf_lines;
    options.runDir = run_dir;
    options.appPort = FreeUdpPort();  // nobody answers there: the call objects keep their values
    m_agent = std::make_unique<AgentProcess>(*s_master, options);
    ASSERT_TRUE(m_agent->WaitServed(HostNameOid())) << m_agent->Log();
  }

  void TearDown() override {
    if (m_agent != nullptr) {
      const int status = m_agent->Stop();
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << m_agent->Log();
    }
  }

  long Int(int column, int channel) { return m_client.GetInt(PlayerOid(column, channel)); }
  std::string Text(int column, int channel) { return m_client.GetBytes(PlayerOid(column, channel)); }

  // Waits until the cell reads 'value' (the agent reads the files at most once a second).
  bool Becomes(int column, int channel, long value) {
    for (int i = 0; i < 40; ++i) {
      const ToolResult result = m_client.Get(PlayerOid(column, channel));
      if (result.exit_code == 0 && std::strtol(result.output.c_str(), nullptr, 10) == value) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  static MasterAgent* s_master;
  SnmpClient m_client{*s_master};
  TempDir m_dir;
  std::unique_ptr<AgentProcess> m_agent;
};

MasterAgent* PlayerTableTest::s_master = nullptr;

TEST_F(PlayerTableTest, MissingStaleBrokenAndEscapedFiles) {
  const std::string missing = m_dir.File("none");
  const std::string stale = m_dir.File("stale");
  const std::string garbage = m_dir.File("garbage");
  const std::string good = m_dir.File("good");
  WriteFile(stale, Status("1", "old", "p.m3u"));
  Age(stale, 60);
  WriteFile(garbage, std::string("\x00\xff{{\"m_player_state\":", 20));
  // Quotes, blanks and non-ASCII letters percent-escaped as the player writes them; a
  // playlist URL with a quote written as it is.
  WriteFile(good, Status("1", "Caf%C3%A9%20%22Noir%22%20%E6%97%A5%E6%9C%AC", "http://h/r?a=\"b\"", "-1004",
                         "time-out: no answer from h within 15 s"));
  WriteFile(good + ".health",
            "{\"time\":1,\"buffer_ms\":480,\"target_ms\":500,\"underruns\":2,\"duplicated_frames\":12,"
            "\"dropped_frames\":3,\"lost_packets\":4,\"reconnects\":1,\"stream_age_s\":42}\n");
  StartAgent({"--player-status", "1=" + missing, "--player-status", "2=" + stale, "--player-status",
              "3=" + garbage, "--player-status", "4=" + good, "--player-stale", "10"});

  EXPECT_EQ(Int(kState, 1), kNotRunning);
  EXPECT_EQ(Text(kSongName, 1), "");
  EXPECT_EQ(Int(kHealthData, 1), 0);
  EXPECT_EQ(Int(kState, 2), kNotRunning);
  EXPECT_EQ(Text(kSongName, 2), "old");
  EXPECT_EQ(Int(kState, 3), kUnknown);
  EXPECT_EQ(Int(kLastError, 3), 0);

  EXPECT_EQ(Int(kState, 4), 1);
  EXPECT_EQ(Text(kSongName, 4), "Caf\xC3\xA9 \"Noir\" \xE6\x97\xA5\xE6\x9C\xAC");
  EXPECT_EQ(Text(kPlaylist, 4), "http://h/r?a=\"b\"");
  EXPECT_EQ(Int(kLastError, 4), -1004);
  EXPECT_EQ(Text(kReason, 4), "time-out: no answer from h within 15 s");
  EXPECT_EQ(Text(kReason, 2), "") << "a player that names no reason";
  EXPECT_EQ(Int(kHealthData, 4), 1);
  const long figures[] = {480, 500, 2, 12, 3, 4, 1, 42};
  for (int column = kBufferMs; column <= kStreamAge; ++column) {
    EXPECT_EQ(Int(column, 4), figures[column - kBufferMs]) << "column " << column;
  }

  // The whole table walks in order: 16 columns of 4 rows, nothing else.
  const ToolResult walk = m_client.Walk("1.3.6.1.4.1." + std::to_string(TANDRIL_ENTERPRISE_NUMBER) + ".2");
  ASSERT_EQ(walk.exit_code, 0) << walk.output;
  std::size_t lines = 0;
  for (std::size_t at = walk.output.find(".1.3.6."); at != std::string::npos; at = walk.output.find("\n.1.3.6.", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 16u * 4u) << walk.output;

  // Files change under the running agent: the player comes back, the stale one is
  // touched, the broken one is mended, the health file goes away with the stream.
  WriteFile(missing, Status("4", "", "http://x/s"));
  EXPECT_TRUE(Becomes(kState, 1, 4));
  Age(stale, 0);
  EXPECT_TRUE(Becomes(kState, 2, 1));
  Replace(garbage, Status("0", "", ""));
  EXPECT_TRUE(Becomes(kState, 3, 0));
  ::unlink((good + ".health").c_str());
  EXPECT_TRUE(Becomes(kHealthData, 4, 0));
  EXPECT_EQ(Int(kBufferMs, 4), 0);
  EXPECT_EQ(Int(kReconnects, 4), 0);

  // Files that are no status file at all: a folder, an empty file, a FIFO (never waited on).
  ::unlink(missing.c_str());
  ASSERT_EQ(::mkdir(missing.c_str(), 0755), 0);
  Replace(stale, "");
  ::unlink(good.c_str());
  ASSERT_EQ(::mkfifo(good.c_str(), 0600), 0);
  EXPECT_TRUE(Becomes(kState, 1, kUnknown));
  EXPECT_TRUE(Becomes(kState, 2, kUnknown));
  EXPECT_TRUE(Becomes(kState, 4, kUnknown));
}

TEST_F(PlayerTableTest, SourceOfTheBackupChainAndItsSwitches) {
  const std::string plain = m_dir.File("plain");
  const std::string chained = m_dir.File("chained");
  WriteFile(plain, Status("1", "a", "http://main/live"));
  WriteFile(chained, "{\"m_player_state\":\"1\",\"m_curr_song_name\":\"\",\"m_playlist_name\":\"http://b2/\","
                     "\"source\":\"backup2\",\"error\":\"no error\"}\n");
  WriteFile(chained + ".health",
            "{\"time\":1,\"buffer_ms\":480,\"target_ms\":500,\"underruns\":2,\"duplicated_frames\":12,"
            "\"dropped_frames\":3,\"lost_packets\":4,\"reconnects\":1,\"stream_age_s\":42,"
            "\"source\":\"backup2\",\"switches\":3,\"failover_s\":5}\n");
  StartAgent({"--player-status", "1=" + plain, "--player-status", "2=" + chained});
  // Without backup sources a player plays its main source and never switched.
  EXPECT_EQ(Int(kSource, 1), 1);
  EXPECT_EQ(Int(kSwitches, 1), 0);
  EXPECT_EQ(Int(kSource, 2), 3);
  EXPECT_EQ(Int(kSwitches, 2), 3);
  EXPECT_EQ(Int(kReconnects, 2), 1);

  // Down to the fallback folder: no stream figures, the switches still counted.
  Replace(chained, "{\"m_player_state\":\"1\",\"m_curr_song_name\":\"f\",\"m_playlist_name\":\"p.m3u\","
                   "\"source\":\"fallback\",\"error\":\"no error\"}\n");
  Replace(chained + ".health",
          "{\"time\":2,\"buffer_ms\":0,\"target_ms\":0,\"underruns\":0,\"duplicated_frames\":0,"
          "\"dropped_frames\":0,\"lost_packets\":0,\"reconnects\":0,\"stream_age_s\":0,"
          "\"source\":\"fallback\",\"switches\":4,\"failover_s\":5}\n");
  EXPECT_TRUE(Becomes(kSource, 2, 4));
  EXPECT_TRUE(Becomes(kSwitches, 2, 4));
}

TEST_F(PlayerTableTest, ChannelsFromTheConfigurationFileAndTheCommandLine) {
  const std::string first = m_dir.File("first");
  const std::string second = m_dir.File("second");
  const std::string third = m_dir.File("third");
  WriteFile(first, Status("1", "one", "p.m3u"));
  WriteFile(second, Status("1", "two", "p.m3u"));
  WriteFile(third, Status("1", "three", "p.m3u"));
  Age(first, 30);
  Age(second, 30);
  // The file names channels 1 to 3 and a long stale time; the command line takes channel
  // 1 out, moves channel 3 and shortens the stale time.
  StartAgent({"--player-status", "1=", "--player-status", "3=" + third, "--player-stale", "20"},
             "playerStatusFile 1 " + first + "\nplayerStatusFile 2 " + second + "\nplayerStatusFile 3 " + first +
                 "\nplayerStaleSeconds 100\n");
  EXPECT_NE(m_client.Get(PlayerOid(kState, 1)).output.find("No Such"), std::string::npos);
  EXPECT_EQ(Text(kSongName, 2), "two");
  EXPECT_EQ(Int(kState, 2), kNotRunning);  // 30 s old, stale after 20 s
  EXPECT_EQ(Text(kSongName, 3), "three");
  EXPECT_EQ(Int(kState, 3), 1);
  EXPECT_NE(m_client.Get(PlayerOid(kState, 4)).output.find("No Such"), std::string::npos);
}

// No option and no configuration line: the agent finds the players where the shipped units
// leave them, quillon.service through the link that tmpfiles makes, quillon@N in their own
// runtime folders, each with its health file.
TEST_F(PlayerTableTest, UnnamedChannelsFollowTheShippedUnits) {
  const std::string run = m_dir.File("run");
  for (const char* folder : {"", "/quillon-player", "/quillon-channel1", "/quillon-channel2",
                             "/quillon-channel4"}) {
    ASSERT_EQ(::mkdir((run + folder).c_str(), 0755), 0) << folder;
  }
  const std::string health =
      "{\"time\":1,\"buffer_ms\":%d,\"target_ms\":500,\"underruns\":0,\"duplicated_frames\":0,"
      "\"dropped_frames\":0,\"lost_packets\":0,\"reconnects\":0,\"stream_age_s\":9}\n";
  const auto health_with = [&](int buffer_ms) {
    std::string text = health;
    text.replace(text.find("%d"), 2, std::to_string(buffer_ms));
    return text;
  };
  // quillon.service: its status through /run/quillon, its health file only in its folder.
  WriteFile(run + "/quillon-player/status", Status("4", "single", "http://h/s"));
  WriteFile(run + "/quillon-player/status.health", health_with(111));
  ASSERT_EQ(::symlink((run + "/quillon-player/status").c_str(), (run + "/quillon").c_str()), 0);
  // quillon@1 ran before, and left its file behind when it stopped.
  WriteFile(run + "/quillon-channel1/status", Status("0", "", "p.m3u"));
  Age(run + "/quillon-channel1/status", 100);
  WriteFile(run + "/quillon-channel2/status", Status("4", "two", "rtp://239.1.1.1:5004"));
  WriteFile(run + "/quillon-channel2/status.health", health_with(222));
  // quillon@3 never ran; quillon@4 was killed while it played.
  WriteFile(run + "/quillon-channel4/status", Status("1", "four", "p.m3u"));
  Age(run + "/quillon-channel4/status", 100);
  StartAgent({}, "", run);

  EXPECT_EQ(Text(kSongName, 1), "single");
  EXPECT_EQ(Int(kHealthData, 1), 1);
  EXPECT_EQ(Int(kBufferMs, 1), 111);
  EXPECT_EQ(Text(kSongName, 2), "two");
  EXPECT_EQ(Int(kHealthData, 2), 1);
  EXPECT_EQ(Int(kBufferMs, 2), 222);
  EXPECT_NE(m_client.Get(PlayerOid(kState, 3)).output.find("No Such"), std::string::npos);
  EXPECT_EQ(Int(kState, 4), kNotRunning);

  // The administrator moves channel 1 to quillon@1: the player that runs now is served.
  Age(run + "/quillon-player/status", 60);
  Replace(run + "/quillon-channel1/status", Status("1", "instance", "p.m3u"));
  EXPECT_TRUE(Becomes(kState, 1, 1));
  EXPECT_EQ(Text(kSongName, 1), "instance");
  EXPECT_EQ(Int(kHealthData, 1), 0);
  // quillon@3 starts; a player's row comes with its file.
  ASSERT_EQ(::mkdir((run + "/quillon-channel3").c_str(), 0755), 0);
  WriteFile(run + "/quillon-channel3/status", Status("1", "three", "p.m3u"));
  EXPECT_TRUE(Becomes(kState, 3, 1));
}
