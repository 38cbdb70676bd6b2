#include "snmp-agent/PlayerFiles.h"

#include "snmp-agent/UniqueFd.h"

// The JSON parser still includes Boost's old global bind placeholders; take them as they are.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <memory>
#include <sstream>

namespace players {

namespace {

namespace pt = boost::property_tree;

// A status or health line is far shorter; a bigger file is not one of them.
constexpr std::size_t kMaxFileBytes = 16 * 1024;

bool ParseJsonObject(std::string_view text, pt::ptree& tree) {
  try {
    std::istringstream stream{std::string(text)};
    pt::read_json(stream, tree);
  } catch (const pt::ptree_error&) {
    return false;
  }
  return true;
}

// The text member 'name' of a flat object; false when missing or not a plain value.
bool Member(const pt::ptree& tree, const char* name, std::string& out) {
  const auto found = tree.find(name);
  if (found == tree.not_found() || !found->second.empty()) return false;
  out = found->second.data();
  return true;
}

// The text between 'begin' and the first (or, with last, the last) 'end' after it.
bool Between(std::string_view text, std::size_t& at, std::string_view end, bool last,
             std::string& out) {
  const std::size_t stop = last ? text.rfind(end) : text.find(end, at);
  if (stop == std::string_view::npos || stop < at) return false;
  out.assign(text.substr(at, stop - at));
  at = stop + end.size();
  return true;
}

bool StartsWith(std::string_view text, std::size_t at, std::string_view part) {
  return text.substr(at, part.size()) == part;
}

// The writer's fixed member order, for lines that are no JSON because a playlist name
// holds a quote that was written as it is. The song name is percent-escaped, so its end
// is certain; the playlist name ends at the last error member.
bool ParseFixedOrder(std::string_view text, StatusRecord& out) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  constexpr std::string_view kHead = "{\"m_player_state\":\"";
  if (!StartsWith(text, 0, kHead) || text.size() < 2 || text.substr(text.size() - 2) != "\"}")
    return false;
  text.remove_suffix(2);
  std::size_t at = kHead.size();
  if (!(Between(text, at, "\",\"m_curr_song_name\":\"", false, out.state) &&
        Between(text, at, "\",\"m_playlist_name\":\"", false, out.song) &&
        Between(text, at, "\",\"error\":\"", true, out.playlist) &&
        (out.error.assign(text.substr(at)), out.error.find('"') == std::string::npos))) {
    return false;
  }
  // A reason member stands between the playlist and the error.
  constexpr std::string_view kReason = "\",\"reason\":\"";
  const std::size_t reason = out.playlist.rfind(kReason);
  if (reason != std::string::npos) {
    out.reason = out.playlist.substr(reason + kReason.size());
    out.playlist.erase(reason);
  }
  return true;
}

template <typename T>
bool NumberOf(const std::string& text, T& out) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, out);
  return result.ec == std::errc() && result.ptr == end && !text.empty();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the valid UTF-8 sequence at text[at], or 0.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  uint32_t lowest = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    lowest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    lowest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    lowest = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  uint32_t code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
  if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

enum class FileRead { kOk, kMissing, kUnreadable };

// The file's content (at most kMaxFileBytes) and its modification time. A FIFO at the
// path is opened without waiting for a writer and never read, so it cannot block the
// agent.
FileRead ReadSmallFile(const std::string& path, std::string& text, int64_t& mtime_s) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return errno == ENOENT || errno == ENOTDIR ? FileRead::kMissing : FileRead::kUnreadable;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return FileRead::kUnreadable;
  mtime_s = static_cast<int64_t>(info.st_mtime);
  text.clear();
  char buffer[4096];
  while (text.size() <= kMaxFileBytes) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FileRead::kUnreadable;
    if (n == 0) return FileRead::kOk;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return FileRead::kUnreadable;
}

// The player writes its health file beside the file it writes: for a status path that is a
// link (/var/run/quillon to the unit's runtime folder), beside the link's target.
std::string HealthPathOf(const std::string& status_path) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(
      ::realpath(status_path.c_str(), nullptr), &std::free);
  return (resolved != nullptr ? std::string(resolved.get()) : status_path) + ".health";
}

bool Stale(int64_t now_s, int64_t mtime_s, int64_t stale_s) { return now_s - mtime_s > stale_s; }

Health ReadHealth(const std::string& path, int64_t now_s, int64_t stale_s) {
  Health health;
  std::string text;
  int64_t mtime_s = 0;
  if (ReadSmallFile(path, text, mtime_s) != FileRead::kOk || Stale(now_s, mtime_s, stale_s) ||
      !ParseHealthLine(text, health)) {
    return Health();
  }
  return health;
}

long StateOf(const std::string& text) {
  long state = 0;
  if (!NumberOf(text, state) || state < kStateIdle || state > kStateMaxPlayer) return kStateUnknown;
  return state;
}

long ErrorOf(const std::string& text) {
  long code = 0;
  return NumberOf(text, code) ? code : 0;
}

}  // namespace

bool ParseStatusLine(std::string_view text, StatusRecord& out) {
  pt::ptree tree;
  if (ParseJsonObject(text, tree)) {
    if (!Member(tree, "source", out.source)) out.source.clear();
    if (!Member(tree, "reason", out.reason)) out.reason.clear();
    return Member(tree, "m_player_state", out.state) && Member(tree, "m_curr_song_name", out.song) &&
           Member(tree, "m_playlist_name", out.playlist) && Member(tree, "error", out.error);
  }
  out = StatusRecord();
  return ParseFixedOrder(text, out);
}

bool ParseHealthLine(std::string_view text, Health& out) {
  pt::ptree tree;
  if (!ParseJsonObject(text, tree)) return false;
  int64_t time = 0;
  std::string value;
  if (!Member(tree, "time", value) || !NumberOf(value, time)) return false;
  const struct {
    const char* name;
    uint32_t Health::*field;
  } kFigures[] = {
      {"buffer_ms", &Health::buffer_ms},
      {"target_ms", &Health::target_ms},
      {"underruns", &Health::underruns},
      {"duplicated_frames", &Health::duplicated_frames},
      {"dropped_frames", &Health::dropped_frames},
      {"lost_packets", &Health::lost_packets},
      {"reconnects", &Health::reconnects},
      {"stream_age_s", &Health::stream_age_s},
  };
  Health health;
  for (const auto& figure : kFigures) {
    // The player counts in 64 bits; a gauge beyond 32 bits stays at its largest value.
    uint64_t number = 0;
    if (!Member(tree, figure.name, value) || !NumberOf(value, number)) return false;
    health.*figure.field = static_cast<uint32_t>(std::min<uint64_t>(number, UINT32_MAX));
  }
  // The backup chain's members: absent without backups, numbers when there.
  for (const auto& [name, field] : {std::pair<const char*, uint32_t Health::*>{"switches", &Health::switches},
                                    {"failover_s", &Health::failover_s}}) {
    uint64_t number = 0;
    if (tree.find(name) == tree.not_found()) continue;
    if (!Member(tree, name, value) || !NumberOf(value, number)) return false;
    health.*field = static_cast<uint32_t>(std::min<uint64_t>(number, UINT32_MAX));
  }
  health.valid = true;
  out = health;
  return true;
}

int32_t SourceNumber(std::string_view name) {
  if (name == "main") return kSourceMain;
  if (name == "backup1") return kSourceBackup1;
  if (name == "backup2") return kSourceBackup2;
  if (name == "fallback") return kSourceFallback;
  return kSourceNone;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string ToUtf8(std::string_view bytes, std::size_t max_bytes) {
  std::string out;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t length = Utf8Length(bytes, at);
    std::string_view piece = bytes.substr(at, length);
    char latin1[2];
    if (length == 0) {
      const unsigned char byte = static_cast<unsigned char>(bytes[at]);
      latin1[0] = static_cast<char>(0xC0 | (byte >> 6));
      latin1[1] = static_cast<char>(0x80 | (byte & 0x3F));
      piece = std::string_view(latin1, 2);
    }
    if (out.size() + piece.size() > max_bytes) break;
    out.append(piece);
    at += length == 0 ? 1 : length;
  }
  return out;
}

PlayerView ReadPlayer(const std::string& status_path, int64_t now_s, int64_t stale_s) {
  PlayerView view;
  std::string text;
  int64_t mtime_s = 0;
  const FileRead read = ReadSmallFile(status_path, text, mtime_s);
  if (read == FileRead::kMissing) return view;  // not running
  StatusRecord record;
  if (read != FileRead::kOk || !ParseStatusLine(text, record)) {
    view.state = kStateUnknown;
    return view;
  }
  view.state = StateOf(record.state);
  if (view.state != kStateIdle && Stale(now_s, mtime_s, stale_s)) view.state = kStateNotRunning;
  view.song = ToUtf8(PercentDecode(record.song));
  view.playlist = ToUtf8(record.playlist);
  view.last_error = ErrorOf(record.error);
  view.source = SourceNumber(record.source);
  view.reason = ToUtf8(record.reason);
  if (view.state != kStateNotRunning) view.health = ReadHealth(HealthPathOf(status_path), now_s, stale_s);
  return view;
}

}  // namespace players
