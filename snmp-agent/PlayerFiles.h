#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The players of the device as their files show them: the one-line JSON status file each
// player rewrites on every notification (and touches every few seconds while it runs),
// and the health file beside it ("<status file>.health") that it writes once a second
// while a network stream plays. Files only: the agent shares no code with the player.
namespace players {

// Player states as the status file numbers them (0 idle ... 6 wait), and two of the
// agent's own.
constexpr long kStateIdle = 0;
constexpr long kStateMaxPlayer = 6;
constexpr long kStateNotRunning = 7;  // no status file, or a stale one that is not idle
constexpr long kStateUnknown = 8;     // a status file that cannot be read as one

// Longest text served for a song name or playlist, in bytes (cut at a character).
constexpr std::size_t kMaxTextBytes = 1024;

struct Health {
    bool valid = false;  // false: no health file, garbage or stale; the figures are 0
    uint32_t buffer_ms = 0;
    uint32_t target_ms = 0;
    uint32_t underruns = 0;
    uint32_t duplicated_frames = 0;
    uint32_t dropped_frames = 0;
    uint32_t lost_packets = 0;
    uint32_t reconnects = 0;
    uint32_t stream_age_s = 0;
  // Written only while the player has backup sources configured; 0 otherwise.
  uint32_t switches = 0;    // moves between the player's sources since it started
  uint32_t failover_s = 0;  // seconds a source may bring no audio before the next one plays
};

// The members of a status line, as written (the song name still percent-escaped).
struct StatusRecord {
    std::string state;
    std::string song;
    std::string playlist;
    std::string error;
  std::string source;  // empty when the line has none (no backup sources configured)
  std::string reason;  // empty when the line has none
};

// The source a player plays, as the status file names it and playerSource numbers it.
constexpr int32_t kSourceNone = 0;  // no "source" member (served as main)
constexpr int32_t kSourceMain = 1;
constexpr int32_t kSourceBackup1 = 2;
constexpr int32_t kSourceBackup2 = 3;
constexpr int32_t kSourceFallback = 4;

// What the agent serves for one player.
struct PlayerView {
    long state = kStateNotRunning;
    std::string song;      // UTF-8
    std::string playlist;  // UTF-8
    long last_error = 0;   // 0: no error
    std::string reason;    // UTF-8, empty when none
    int32_t source = kSourceNone;
    Health health;
};

// Reads a status line: strict JSON first; then, for a playlist name written with quotes
// unescaped, the line's fixed member order. False for anything else.
bool ParseStatusLine(std::string_view text, StatusRecord& out);

// Reads a health line: a JSON object whose figures (all of them) are unsigned integers
// (time: any 64-bit integer); figures beyond 32 bits read as 4294967295. "switches" and
// "failover_s" are read when present; other members are left alone.
bool ParseHealthLine(std::string_view text, Health& out);

// "main" -> kSourceMain ... "fallback" -> kSourceFallback; anything else kSourceNone.
int32_t SourceNumber(std::string_view name);

// "%41" -> "A"; a "%" not followed by two hexadecimal digits stays as it is.
std::string PercentDecode(std::string_view text);

// Valid UTF-8 comes back unchanged; every byte that is not part of a valid sequence is
// taken as Latin-1. The result is cut to max_bytes at a character boundary.
std::string ToUtf8(std::string_view bytes, std::size_t max_bytes = kMaxTextBytes);

// The view of the player whose status file is status_path, at wall-clock time now_s:
// a file (status or health) older than stale_s seconds counts as left behind by a player
// that no longer runs. The health file is read beside the status file's real path (links
// resolved). Never fails: missing or unreadable files give the matching state.
PlayerView ReadPlayer(const std::string& status_path, int64_t now_s, int64_t stale_s);

}  // namespace players
