#include "app/CTestPlayerDelegate.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "player/include/PlayerErrors.h"

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

// Writes the whole buffer, retrying short writes. True on success.
bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool WriteInPlace(const std::string& path, const std::string& line) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = WriteAll(fd, line);
    ::close(fd);
    return ok;
}

}  // namespace

CTestPlayerDelegate::CTestPlayerDelegate(std::string status_path)
    : m_status_path(std::move(status_path)) {}

std::string CTestPlayerDelegate::StatusLine(const PlaybackInfo& info, bool with_error,
                                            int error_code) {
    std::string line = "{\"m_player_state\":\"" + std::to_string(info.m_player_state) + "\",";
    line += "\"m_curr_song_name\":\"" + Escape(info.m_curr_song_name) + "\",";
    line += "\"m_playlist_name\":\"" + info.m_playlist_name + "\",";
    if (with_error)
        line += "\"error\":\"" + std::to_string(error_code) + "\"}\n";
    else
        line += "\"error\":\"no error\"}\n";
    return line;
}

// Readers poll this file: write a temporary file beside it and rename it over the old one,
// so that a reader sees either the previous line or the new one, never a torn or empty file.
void CTestPlayerDelegate::WriteStatusFile(const std::string& line) const {
    const std::string temp = m_status_path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        // Folder not writable for new files: the file itself may still be.
        WriteInPlace(m_status_path, line);
        return;
    }
    const bool ok = WriteAll(fd, line);
    ::close(fd);
    if (!ok || ::rename(temp.c_str(), m_status_path.c_str()) != 0) {
        ::unlink(temp.c_str());
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
    WriteStatusFile(StatusLine(info, with_error, m_last_error));
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

void CTestPlayerDelegate::NotifyPlaybackError(const PlaybackInfo& info, int code) {
    const char* text = OrvanePlayer::PlayerErrorText(code);
    std::printf(
        "\nCTestPlayerDelegate::NotifyPlaybackError, state - %d, id request = %d, error code "
        "(%d):\"%s\" for item={%s}/track={%s} received\n",
        info.m_player_state, info.m_request_id, code, text ? text : "",
        info.m_curr_music_file.c_str(), info.m_curr_song_name.c_str());
    m_last_error = code;
    PrintPlaybackInfo(info, true);
}

void CTestPlayerDelegate::NotifyPlaybackInfoChanged(const PlaybackInfo& info) {
    // The same line as an item start: other tools on the device match on it.
    std::puts("\nCTestPlayerDelegate::NotifyItemPlaybackStarted() received");
    PrintPlaybackInfo(info, false);
}
