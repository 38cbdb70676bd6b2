// The agent's reading of the player files: status and health lines, percent-escapes,
// UTF-8, and the state it serves for missing, stale and broken files.

#include "snmp-agent/PlayerFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace players;

namespace {

class Folder final {
 public:
  Folder() {
    char pattern[] = "/tmp/player-files-XXXXXX";
    m_path = ::mkdtemp(pattern);
  }
  ~Folder() { std::system(("rm -rf '" + m_path + "'").c_str()); }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

  // Writes the file and sets its modification time to mtime_s.
  static void Write(const std::string& path, const std::string& text, int64_t mtime_s) {
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    const timespec times[2] = {{static_cast<time_t>(mtime_s), 0}, {static_cast<time_t>(mtime_s), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

 private:
  std::string m_path;
};

constexpr int64_t kNow = 1765190000;
constexpr int64_t kStale = 15;

std::string Status(const std::string& state, const std::string& song, const std::string& playlist,
                   const std::string& error = "no error") {
  return "{\"m_player_state\":\"" + state + "\",\"m_curr_song_name\":\"" + song + "\",\"m_playlist_name\":\"" +
         playlist + "\",\"error\":\"" + error + "\"}\n";
}

const char* kHealth =
    "{\"time\":1765190000,\"buffer_ms\":480,\"target_ms\":500,\"underruns\":2,\"duplicated_frames\":12,"
    "\"dropped_frames\":3,\"lost_packets\":4,\"reconnects\":1,\"stream_age_s\":42}\n";

}  // namespace

TEST(PlayerFiles, SongNamesComeOutAsUtf8Text) {
  // Quotes, blanks and non-ASCII letters, percent-escaped as the player writes them.
  EXPECT_EQ(PercentDecode("Caf%C3%A9%20%22Noir%22%20-%20%E6%97%A5%E6%9C%AC"), "Caf\xC3\xA9 \"Noir\" - \xE6\x97\xA5\xE6\x9C\xAC");
  EXPECT_EQ(PercentDecode("100%25%2"), "100%%2");
  EXPECT_EQ(PercentDecode("a%zzb%4"), "a%zzb%4");
  // Valid UTF-8 passes; Latin-1 bytes (a file name from an old card) become UTF-8.
  EXPECT_EQ(ToUtf8("Caf\xC3\xA9"), "Caf\xC3\xA9");
  EXPECT_EQ(ToUtf8("Caf\xE9"), "Caf\xC3\xA9");
  EXPECT_EQ(ToUtf8("\xC0\xAF\xED\xA0\x80"), "\xC3\x80\xC2\xAF\xC3\xAD\xC2\xA0\xC2\x80");  // overlong, surrogate
  EXPECT_EQ(ToUtf8("ab\xE6\x97"), "ab\xC3\xA6\xC2\x97");  // a sequence cut short
  // Cut at a character, never inside one.
  EXPECT_EQ(ToUtf8("a\xE6\x97\xA5", 3), "a");
  EXPECT_EQ(ToUtf8(std::string(2000, 'x')).size(), kMaxTextBytes);
}

TEST(PlayerFiles, StatusLinesStrictAndWithAnUnescapedQuote) {
  StatusRecord record;
  ASSERT_TRUE(ParseStatusLine(Status("1", "a%20b", "p.m3u"), record));
  EXPECT_EQ(record.state, "1");
  EXPECT_EQ(record.song, "a%20b");
  EXPECT_EQ(record.playlist, "p.m3u");
  EXPECT_EQ(record.error, "no error");

  // JSON escapes of a writer that escapes the playlist name.
  ASSERT_TRUE(ParseStatusLine(Status("4", "", "http://h/a?q=\\\"b\\\"\\\\c", "-1004"), record));
  EXPECT_EQ(record.playlist, "http://h/a?q=\"b\"\\c");
  EXPECT_EQ(record.error, "-1004");

  // A writer that puts the name as it is: no JSON, but the member order still tells.
  ASSERT_TRUE(ParseStatusLine(Status("1", "x", "http://h/a?q=\"b\",\"error\":\"c"), record));
  EXPECT_EQ(record.playlist, "http://h/a?q=\"b\",\"error\":\"c");
  EXPECT_EQ(record.error, "no error");

  for (const std::string garbage :
       {"", "\n", "garbage", "{", "{}", "[1,2]", "{\"m_player_state\":\"1\"}", "\x01\x02\xFF",
        "{\"m_player_state\":{\"a\":1},\"m_curr_song_name\":\"\",\"m_playlist_name\":\"\",\"error\":\"\"}",
        "{\"m_player_state\":\"1\",\"m_curr_song_name\":\"a\",\"m_playlist_name\":\"b\""}) {
    EXPECT_FALSE(ParseStatusLine(garbage, record)) << garbage;
  }
}

TEST(PlayerFiles, StatusLinesWithAReason) {
  // The reason member stands before the error; lines of older players have none.
  const std::string line =
      "{\"m_player_state\":\"6\",\"m_curr_song_name\":\"x\",\"m_playlist_name\":\"https://h/s\","
      "\"reason\":\"certificate refused: \\\"expired\\\"\",\"error\":\"-1002\"}\n";
  StatusRecord record;
  ASSERT_TRUE(ParseStatusLine(line, record));
  EXPECT_EQ(record.playlist, "https://h/s");
  EXPECT_EQ(record.reason, "certificate refused: \"expired\"");
  EXPECT_EQ(record.error, "-1002");
  ASSERT_TRUE(ParseStatusLine(Status("1", "a", "p.m3u"), record));
  EXPECT_EQ(record.reason, "");

  // No JSON (a quote in the playlist as it is): the reason is still told apart.
  ASSERT_TRUE(ParseStatusLine("{\"m_player_state\":\"6\",\"m_curr_song_name\":\"x\",\"m_playlist_name\":\"h\"q\","
                              "\"reason\":\"HTTP status 404 (Not Found)\",\"error\":\"-1002\"}\n",
                              record));
  EXPECT_EQ(record.playlist, "h\"q");
  EXPECT_EQ(record.reason, "HTTP status 404 (Not Found)");
  EXPECT_EQ(record.error, "-1002");
}

TEST(PlayerFiles, HealthLinesNeedEveryFigure) {
  Health health;
  ASSERT_TRUE(ParseHealthLine(kHealth, health));
  EXPECT_TRUE(health.valid);
  EXPECT_EQ(health.buffer_ms, 480u);
  EXPECT_EQ(health.target_ms, 500u);
  EXPECT_EQ(health.underruns, 2u);
  EXPECT_EQ(health.duplicated_frames, 12u);
  EXPECT_EQ(health.dropped_frames, 3u);
  EXPECT_EQ(health.lost_packets, 4u);
  EXPECT_EQ(health.reconnects, 1u);
  EXPECT_EQ(health.stream_age_s, 42u);

  std::string line = kHealth;
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"\"underruns\":2,", ""},
                                 {"480", "-1"},
                                 {"480", "4.5"},
                                 {"480", "\"x\""},
                                 {"480", "99999999999999999999999"},
                                 {"1765190000", "\"soon\""}}) {
    std::string broken = line;
    broken.replace(broken.find(from), from.size(), to);
    Health untouched;
    EXPECT_FALSE(ParseHealthLine(broken, untouched)) << broken;
    EXPECT_FALSE(untouched.valid);
  }
  EXPECT_FALSE(ParseHealthLine("", health));
  // The player counts in 64 bits: a figure beyond 32 bits stays at the gauge's top.
  line.replace(line.find("12"), 2, "99999999999");
  ASSERT_TRUE(ParseHealthLine(line, health));
  EXPECT_EQ(health.duplicated_frames, 4294967295u);
}

TEST(PlayerFiles, BackupChainMembersAreReadWhenThere) {
  StatusRecord record;
  ASSERT_TRUE(ParseStatusLine("{\"m_player_state\":\"1\",\"m_curr_song_name\":\"\",\"m_playlist_name\":\"u\","
                              "\"source\":\"backup1\",\"error\":\"no error\"}\n",
                              record));
  EXPECT_EQ(record.source, "backup1");
  EXPECT_EQ(SourceNumber(record.source), kSourceBackup1);
  ASSERT_TRUE(ParseStatusLine(Status("1", "", "u"), record));
  EXPECT_EQ(record.source, "");
  EXPECT_EQ(SourceNumber(record.source), kSourceNone);
  EXPECT_EQ(SourceNumber("main"), kSourceMain);
  EXPECT_EQ(SourceNumber("backup2"), kSourceBackup2);
  EXPECT_EQ(SourceNumber("fallback"), kSourceFallback);
  EXPECT_EQ(SourceNumber("Main"), kSourceNone);

  std::string line = kHealth;
  Health health;
  ASSERT_TRUE(ParseHealthLine(line, health));
  EXPECT_EQ(health.switches, 0u);
  EXPECT_EQ(health.failover_s, 0u);
  line.insert(line.rfind('}'), ",\"source\":\"fallback\",\"switches\":7,\"failover_s\":5");
  ASSERT_TRUE(ParseHealthLine(line, health)) << line;
  EXPECT_EQ(health.switches, 7u);
  EXPECT_EQ(health.failover_s, 5u);
  line.replace(line.find("7,"), 1, "\"x\"");
  EXPECT_FALSE(ParseHealthLine(line, health)) << line;
}

TEST(PlayerFiles, StateServedForMissingStaleAndBrokenFiles) {
  Folder folder;
  const std::string status = folder.File("status");
  const std::string health = status + ".health";

  EXPECT_EQ(ReadPlayer(status, kNow, kStale).state, kStateNotRunning);  // no file

  Folder::Write(status, Status("1", "Caf%C3%A9%20%22x%22", "p.m3u", "-1004"), kNow - 3);
  Folder::Write(health, kHealth, kNow - 1);
  PlayerView view = ReadPlayer(status, kNow, kStale);
  EXPECT_EQ(view.state, 1);
  EXPECT_EQ(view.song, "Caf\xC3\xA9 \"x\"");
  EXPECT_EQ(view.playlist, "p.m3u");
  EXPECT_EQ(view.last_error, -1004);
  EXPECT_TRUE(view.health.valid);
  EXPECT_EQ(view.health.reconnects, 1u);

  // Claims to play, but nobody touched the file for longer than the stale time.
  Folder::Write(status, Status("1", "a", "p.m3u"), kNow - kStale - 1);
  view = ReadPlayer(status, kNow, kStale);
  EXPECT_EQ(view.state, kStateNotRunning);
  EXPECT_FALSE(view.health.valid);
  // Exactly the stale time is still current; idle stays idle however old.
  Folder::Write(status, Status("1", "a", "p.m3u"), kNow - kStale);
  EXPECT_EQ(ReadPlayer(status, kNow, kStale).state, 1);
  Folder::Write(status, Status("0", "a", "p.m3u"), kNow - 3600);
  EXPECT_EQ(ReadPlayer(status, kNow, kStale).state, 0);

  // A stale health file beside a current status: no health data.
  Folder::Write(status, Status("1", "a", "u"), kNow);
  Folder::Write(health, kHealth, kNow - kStale - 1);
  view = ReadPlayer(status, kNow, kStale);
  EXPECT_EQ(view.state, 1);
  EXPECT_FALSE(view.health.valid);
  EXPECT_EQ(view.health.buffer_ms, 0u);
  Folder::Write(health, "{\"time\":1}", kNow);
  EXPECT_FALSE(ReadPlayer(status, kNow, kStale).health.valid);

  // Garbage and odd files are unknown, with empty texts.
  Folder::Write(status, "\x7f" "ELF garbage", kNow);
  view = ReadPlayer(status, kNow, kStale);
  EXPECT_EQ(view.state, kStateUnknown);
  EXPECT_EQ(view.song, "");
  Folder::Write(status, Status("9", "a", "b"), kNow);
  EXPECT_EQ(ReadPlayer(status, kNow, kStale).state, kStateUnknown);
  Folder::Write(status, std::string(20000, '{'), kNow);
  EXPECT_EQ(ReadPlayer(status, kNow, kStale).state, kStateUnknown);
  ::unlink(status.c_str());
  ASSERT_EQ(::mkfifo(status.c_str(), 0600), 0);  // a FIFO must not block the agent
  EXPECT_EQ(ReadPlayer(status, kNow, kStale).state, kStateUnknown);
}
