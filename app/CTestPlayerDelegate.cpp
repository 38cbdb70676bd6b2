#include "app/CTestPlayerDelegate.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "player/include/PlayerErrors.h"
#include "utils/utils.h"

using OrvanePlayer::PlaybackInfo;

namespace {

struct CurlFree {
    void operator()(char* p) const noexcept { curl_free(p); }
};

std::string Escape(const std::string& text) {
    // curl_easy_escape takes an int length; names longer than that are not song names.
    std::unique_ptr<char, CurlFree> escaped(
        curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size())));
    return escaped ? std::string(escaped.get()) : std::string();
}

// Length of the UTF-8 sequence that starts at text[at], or 0 when the bytes there are not
// one (a stray continuation byte, a cut or overlong sequence, a surrogate, past U+10FFFF).
size_t Utf8SequenceLength(const std::string& text, size_t at) {
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() - at < length || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    }
    return length;
}

// The text as the contents of a JSON string: quote, backslash and control characters
// escaped, UTF-8 kept as it is, and a byte that is not part of UTF-8 written as the
// character of the same number, so that a reader never meets invalid text. Any other
// name comes out byte for byte.
std::string JsonText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++at;
            continue;
        }
        if (c >= 0x20 && c < 0x80) {
            out += static_cast<char>(c);
            ++at;
            continue;
        }
        const size_t length = c < 0x80 ? 0 : Utf8SequenceLength(text, at);
        if (length > 0) {
            out.append(text, at, length);
            at += length;
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
        out += escaped;
        ++at;
    }
    return out;
}

bool WriteInPlace(const std::string& path, const std::string& line) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = utils::write_all(fd, line) == 0;
    ::close(fd);
    return ok;
}

// The player may run as root: whatever lies at the temporary name (a stale file, or a link
// planted there to have another file overwritten) is removed, never followed, and the file
// is created anew, readable by every reader whatever the umask. The descriptor, or the
// negative errno.
int CreateTemporary(const std::string& temp) {
    ::unlink(temp.c_str());
    const int fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -errno;
    ::fchmod(fd, 0644);
    return fd;
}

// Failures that a file the folder does not let us replace may still not have.
bool IsPermissionError(int err) { return err == EACCES || err == EPERM || err == EROFS; }

}  // namespace

CTestPlayerDelegate::CTestPlayerDelegate(std::string status_path)
    : m_status_path(std::move(status_path)) {}

// New members go before "error": readers that look at the line's end still find it there.
std::string CTestPlayerDelegate::StatusLine(const PlaybackInfo& info, bool with_error,
                                            int error_code, const std::string& reason,
                                            const char* source) {
    std::string line = "{\"m_player_state\":\"" + std::to_string(info.m_player_state) + "\",";
    line += "\"m_curr_song_name\":\"" + Escape(info.m_curr_song_name) + "\",";
    line += "\"m_playlist_name\":\"" + JsonText(info.m_playlist_name) + "\",";
    // New members go before "error", so that the line still ends as it always did.
    if (source)
        line += std::string("\"source\":\"") + source + "\",";
    line += "\"reason\":\"" + JsonText(reason) + "\",";
    if (with_error)
        line += "\"error\":\"" + std::to_string(error_code) + "\"}\n";
    else
        line += "\"error\":\"no error\"}\n";
    return line;
}

// Readers poll this file: write a temporary file beside it and rename it over the old one,
// so that a reader sees either the previous line or the new one, never a torn or empty file.
// When the line cannot be written whole (a full /run), the last complete file stays.
void CTestPlayerDelegate::WriteStatusFile(const std::string& line) const {
    const std::string temp = m_status_path + ".tmp";
    const int fd = CreateTemporary(temp);
    if (fd < 0) {
        // Folder not writable for new files: the file itself may still be. Any other failure
        // (something put back at the temporary name meanwhile) skips this one line.
        if (IsPermissionError(-fd))
            WriteInPlace(m_status_path, line);
        return;
    }
    const bool written = utils::write_all(fd, line) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        ::unlink(temp.c_str());
        return;
    }
    if (::rename(temp.c_str(), m_status_path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        if (IsPermissionError(err))
            WriteInPlace(m_status_path, line);
    }
}

void CTestPlayerDelegate::PrintPlaybackInfo(const PlaybackInfo& info, bool with_error) {
    std::printf("Song is --<%s>--, Playlist is --<%s>--, album is --<%s>--, artist is --<%s>--\n",
                info.m_curr_song_name.c_str(), info.m_playlist_name.c_str(),
                info.m_album_name.c_str(), info.m_artist_name.c_str());
    std::printf("CTestPlayerDelegate::PrintPlaybackInfo():[ m_album_name=%s\t",
                info.m_album_name.c_str());
    std::printf("m_artist_name=%s\t", info.m_artist_name.c_str());
    std::printf("m_curr_music_file=%s", info.m_curr_music_file.c_str());
    std::printf("m_curr_volume=%d\n", static_cast<int16_t>(info.m_curr_volume));
    std::printf("m_next_music_file=%s\t", info.m_next_music_file.c_str());
    std::printf("m_player_state=%d\t", info.m_player_state);
    std::printf("m_playlist_name=%s\t", info.m_playlist_name.c_str());
    std::printf("m_song_id=%d ]\n", info.m_song_id);
    std::printf("CNT=%d ]\n", info.m_repeat_count);
    std::fflush(stdout);
    WriteStatus(info, with_error, m_last_error);
}

OrvanePlayer::PlaybackFailure CTestPlayerDelegate::StandingFailure() const {
    OrvanePlayer::PlaybackFailure failure;
    if (m_player) OrvanePlayer::GetPlaybackFailure(*m_player, failure);
    return failure;
}

// While a failure to open or read the item stands, every line says which and why, not
// only the one of its notification: an operator looks at any moment of the retries.
void CTestPlayerDelegate::WriteStatus(const PlaybackInfo& info, bool with_error, int error_code) {
    const OrvanePlayer::PlaybackFailure failure = StandingFailure();
    const std::string reason = failure.active ? failure.reason : std::string();
    std::lock_guard<std::mutex> lock(m_status_lock);
    const int configuration_error = m_configuration_error.load();
    const int source = m_source_report ? m_source_report->Get() : app::SourceReport::kNone;
    const char* source_name = source == app::SourceReport::kNone ? nullptr : app::SourceReport::Name(source);
    if (with_error)
        WriteStatusFile(StatusLine(info, true, error_code, reason, source_name));
    else if (failure.active)
        WriteStatusFile(StatusLine(info, true, failure.code, reason, source_name));
    else if (configuration_error != 0)
        WriteStatusFile(StatusLine(info, true, configuration_error, std::string(), source_name));
    else
        WriteStatusFile(StatusLine(info, false, 0, std::string(), source_name));
}

void CTestPlayerDelegate::SourceChanged(const PlaybackInfo& info) { WriteStatus(info, false, 0); }

std::string CTestPlayerDelegate::LatestFailure() const {
    std::lock_guard<std::mutex> lock(m_failure_lock);
    return m_latest_failure;
}

void CTestPlayerDelegate::ForgetFailure() {
    std::lock_guard<std::mutex> lock(m_failure_lock);
    m_latest_failure.clear();
}

void CTestPlayerDelegate::TouchStatusFile() {
    std::lock_guard<std::mutex> lock(m_status_lock);
    // A missing file stays missing: only the notifications write the status.
    ::utimensat(AT_FDCWD, m_status_path.c_str(), nullptr, 0);
}

void CTestPlayerDelegate::SetConfigurationError(const PlaybackInfo& info, int code) {
    // Clearing an error that does not stand changes nothing in the file.
    if (m_configuration_error.exchange(code) == 0 && code == 0)
        return;
    WriteStatus(info, false, 0);
}

void CTestPlayerDelegate::NotifyItemPlaybackFinished(const PlaybackInfo&, const std::string& item) {
    std::printf("\nCTestPlayerDelegate::NotifyItemPlaybackFinished(%s) received\n", item.c_str());
    std::fflush(stdout);
}

void CTestPlayerDelegate::NotifyTrackPlaybackFinished(const PlaybackInfo& info,
                                                      const std::string& track, bool partially) {
    std::printf("\nCTestPlayerDelegate::NotifyTrackPlaybackFinished(%s) received\n", track.c_str());
    if (partially)
        std::printf("CTestPlayerDelegate::NotifyTrackPlaybackFinished(%s): partialy played.\n",
                    track.c_str());
    PrintPlaybackInfo(info, false);
    std::printf("\n");
    std::fflush(stdout);
}

void CTestPlayerDelegate::NotifyPlaybackCommandExecuted(const PlaybackInfo& info) {
    std::puts("\nCTestPlayerDelegate::NotifyPlaybackCommandExecuted() received");
    PrintPlaybackInfo(info, false);
}

void CTestPlayerDelegate::NotifyPlaybackStateChanged(const PlaybackInfo& info,
                                                     const char* state_name) {
    std::printf("\nCTestPlayerDelegate::NotifyPlaybackStateChanged(): New state is %d, name is %s\n",
                info.m_player_state, state_name ? state_name : "");
    PrintPlaybackInfo(info, false);
}

void CTestPlayerDelegate::NotifyTrackPlaybackStarted(const PlaybackInfo& info, bool) {
    std::printf("\nCTestPlayerDelegate::NotifyTrackPlaybackStarted() for %s received\n",
                info.m_curr_song_name.c_str());
    PrintPlaybackInfo(info, false);
}

void CTestPlayerDelegate::NotifyItemPlaybackStarted(const PlaybackInfo& info) {
    std::puts("\nCTestPlayerDelegate::NotifyItemPlaybackStarted() received");
    PrintPlaybackInfo(info, false);
}

void CTestPlayerDelegate::NotifyPlaybackItemMissing(const PlaybackInfo&, const std::string& name) {
    std::printf("\nCTestPlayerDelegate::NotifyPlaybackItemMissing(%s) received\n", name.c_str());
    std::fflush(stdout);
}

// The words of an error text: "EPLAYER_OPEN_URL: URL not reachable." gives "URL not reachable".
void CTestPlayerDelegate::RememberFailure(const char* text) {
    std::string words = text ? text : "";
    const size_t colon = words.find(": ");
    if (colon != std::string::npos) words.erase(0, colon + 2);
    while (!words.empty() && (words.back() == '.' || words.back() == ' ')) words.pop_back();
    if (words.empty()) return;
    std::lock_guard<std::mutex> lock(m_failure_lock);
    m_latest_failure = words;
}

void CTestPlayerDelegate::NotifyPlaybackError(const PlaybackInfo& info, int code) {
    const char* text = OrvanePlayer::PlayerErrorText(code);
    std::printf(
        "\nCTestPlayerDelegate::NotifyPlaybackError, state - %d, id request = %d, error code "
        "(%d):\"%s\" for item={%s}/track={%s} received\n",
        info.m_player_state, info.m_request_id, code, text ? text : "",
        info.m_curr_music_file.c_str(), info.m_curr_song_name.c_str());
    const OrvanePlayer::PlaybackFailure failure = StandingFailure();
    if (failure.active && failure.code == code) std::printf("Reason: %s\n", failure.reason.c_str());
    m_last_error = code;
    RememberFailure(text);
    PrintPlaybackInfo(info, true);
}

void CTestPlayerDelegate::NotifyPlaybackInfoChanged(const PlaybackInfo& info) {
    // The same line as an item start: other tools on the device match on it.
    std::puts("\nCTestPlayerDelegate::NotifyItemPlaybackStarted() received");
    PrintPlaybackInfo(info, false);
}
