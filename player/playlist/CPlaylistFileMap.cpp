#include "player/playlist/CPlaylistFileMap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <utility>

#include "utils/CLogger.h"
#include "utils/utils.h"

namespace {

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Media names shorter than this cannot be a name with an extension.
constexpr size_t kMinMediaLength = 5;

}  // namespace

CPlaylistFileMap::CPlaylistFileMap() : m_current(m_tracks.end()) {
    APlayerInfoAdapter::set_player_prefix("PLAYBACK :");
    srandom(static_cast<unsigned>(time(nullptr)));
}

void CPlaylistFileMap::set_player_prefix(const char* text) {
    APlayerInfoAdapter::set_player_prefix(text);
    append_player_prefix(" PLAYLIST FILE MAP:");
}

int CPlaylistFileMap::SetDirectories(const std::string& playlistFolder,
                                     const std::string& mediaFolder) {
    if (!exists(mediaFolder))
        return -2;
    m_media_folder = mediaFolder;
    if (!exists(playlistFolder))
        return -2;
    m_playlist_folder = playlistFolder;
    return 0;
}

CPlaylistFileMap::LineStatus CPlaylistFileMap::ReadLine(FILE* file) {
    m_line_length = 0;
    m_line_has_nul = false;
    bool too_long = false;
    int c = 0;
    while ((c = getc_unlocked(file)) != EOF && c != '\n') {
        if (m_line_length == kMaxLineLength) {
            too_long = true;  // keep consuming: the next line starts after this one's newline
            continue;
        }
        if (c == '\0')
            m_line_has_nul = true;
        m_line[m_line_length++] = static_cast<char>(c);
    }
    m_line[m_line_length] = '\0';
    if (too_long)
        return LineStatus::TooLong;
    if (c == EOF && m_line_length == 0)
        return LineStatus::End;
    return LineStatus::Line;
}

// A playlist on the media card is read only as the regular file it names: a link would
// hand anything it points to to the notifications, and a FIFO would hold the player.
CPlaylistFileMap::File CPlaylistFileMap::OpenPlaylistFile(const std::string& path) const {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP)
            utils::logger.error("%s ERROR :CPlaylistFileMap::ParsePlaylist(): %s is a symbolic link, refused\n",
                                get_player_prefix(), path.c_str());
        else
            utils::logger.info("%s CPlaylistFileMap::ParsePlaylist(): %s no such file or directory!\n",
                               get_player_prefix(), path.c_str());
        return File();
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        utils::logger.error("%s ERROR :CPlaylistFileMap::ParsePlaylist(): %s is not a regular file, refused\n",
                            get_player_prefix(), path.c_str());
        ::close(fd);
        return File();
    }
    File file(::fdopen(fd, "r"));
    if (!file)
        ::close(fd);
    return file;
}

int CPlaylistFileMap::ParsePlaylist(const std::string& name, bool checkFiles) {
    utils::logger.info("%s CPlaylistFileMap::ParsePlaylist() called\n", get_player_prefix());
    const std::string path = m_playlist_folder + name;
    const File file = OpenPlaylistFile(path);
    if (!file)
        return -2;
    std::string pending;
    bool header = true;
    for (;;) {
        const LineStatus status = ReadLine(file.get());
        if (status == LineStatus::End)
            break;
        if (status == LineStatus::TooLong) {
            // No media name is that long; skip it rather than store a cut-off name.
            utils::logger.warning("%s CPlaylistFileMap::ParsePlaylist(): line longer than %zu characters skipped\n",
                                  get_player_prefix(), kMaxLineLength);
            continue;
        }
        if (m_line_length == 0)
            continue;
        if (m_line_has_nul) {
            utils::logger.warning("%s CPlaylistFileMap::ParsePlaylist(): binary line skipped\n",
                                  get_player_prefix());
            continue;
        }
        ParseLine(m_line, static_cast<int>(m_line_length), checkFiles, pending, header);
    }
    m_shuffled = false;
    m_current = m_tracks.end();
    m_available_count = GetTrackCount();
    utils::logger.notice("%s  id=%d, ParsePlaylist(): Music files count=%d\n", get_player_prefix(),
                         get_player_id(), static_cast<int>(m_tracks.size()));
    return static_cast<int>(m_tracks.size());
}

void CPlaylistFileMap::ParseLine(const char* text, int length, bool checkFiles,
                                 std::string& pending, bool& header) {
    const char* begin = utils::trim_span(text, length);
    const std::string trimmed(begin, static_cast<size_t>(length));
    if (trimmed.empty()) {
        header = false;
        return;
    }
    if (trimmed[0] == '#') {
        // The first comment is the extended-M3U header, never a description.
        if (!header)
            pending = trimmed;
        header = false;
        return;
    }
    header = false;
    if (trimmed.size() < kMinMediaLength)
        return;
    AddMediaLine(trimmed, checkFiles, pending);
}

void CPlaylistFileMap::AddMediaLine(const std::string& path, bool checkFiles, std::string& pending) {
    const bool available = !checkFiles || exists(m_media_folder + path);
    utils::logger.info("%s CPlaylistFileMap::ParsePlaylist(): Music files:(%d)%s\n",
                       get_player_prefix(), available ? 1 : 0, path.c_str());
    PlaylistEntry& entry = m_tracks[m_running_index];
    entry.index = static_cast<int32_t>(m_running_index);
    entry.path = path;
    entry.info = std::move(pending);
    entry.available = available;
    ++m_running_index;
    pending.clear();
}

void CPlaylistFileMap::Clear() {
    m_tracks.clear();
    m_running_index = 0;
    m_available_count = 0;
    m_current = m_tracks.end();
}

void CPlaylistFileMap::SetSingleItem(const std::string& path, const std::string& info, bool available) {
    m_tracks.clear();
    PlaylistEntry& entry = m_tracks[0];
    entry.index = 0;
    entry.path = path;
    entry.info = info;
    entry.available = available;
    m_current = m_tracks.end();
    m_available_count = 1;
    m_running_index = 1;
}

bool CPlaylistFileMap::Shuffle() {
    utils::logger.info("%s CPlaylistFileMap::Shuffle(): called\n", get_player_prefix());
    m_shuffled = true;
    if (m_tracks.empty()) {
        m_current = m_tracks.end();
        return false;
    }
    // A repeated random key must not replace an entry: equal draws keep their old order.
    std::map<std::pair<long, uint32_t>, PlaylistEntry> drawn;
    uint32_t sequence = 0;
    while (!m_tracks.empty()) {
        const auto first = m_tracks.begin();
        drawn.emplace(std::make_pair(random(), sequence++), std::move(first->second));
        m_tracks.erase(first);
    }
    uint32_t key = 0;
    for (auto& item : drawn) {
        utils::logger.info("%s CPlaylistFileMap::Shuffle(): Music files:%s\n", get_player_prefix(),
                           item.second.path.c_str());
        m_tracks.emplace(key++, std::move(item.second));
    }
    m_current = m_tracks.end();
    return true;
}

bool CPlaylistFileMap::DontShuffle() {
    utils::logger.info("%s CPlaylistFileMap::DontShuffle() called\n", get_player_prefix());
    m_shuffled = false;
    TrackMap ordered;
    for (auto& item : m_tracks)
        ordered.emplace(static_cast<uint32_t>(item.second.index), std::move(item.second));
    m_tracks = std::move(ordered);
    m_current = m_tracks.begin();
    return !m_tracks.empty();
}

int CPlaylistFileMap::MoveToNext(std::string& out) {
    if (m_tracks.empty())
        return 1;
    utils::logger.info("%s CPlaylistFileMap::MoveToNext():\n", get_player_prefix());
    if (m_current != m_tracks.end()) {
        ++m_current;
        if (m_current != m_tracks.end()) {
            out = m_current->second.path;
            return 0;
        }
    }
    utils::logger.info("%s CPlaylistFileMap::MoveToNext(): End of list reached going to the top\n",
                       get_player_prefix());
    m_current = m_tracks.begin();
    out = m_current->second.path;
    return 1;
}

int CPlaylistFileMap::MoveToPrevious(std::string& out) {
    if (m_tracks.empty())
        return 1;
    int result = 0;
    if (m_current == m_tracks.begin()) {
        m_current = m_tracks.end();
        result = 1;
    }
    --m_current;
    out = m_current->second.path;
    return result;
}

int CPlaylistFileMap::SelectTrack(unsigned id, std::string& out) {
    int result = 0;
    const auto found = m_tracks.find(id);
    if (found != m_tracks.end()) {
        m_current = found;
        result = 1;
    }
    if (m_current != m_tracks.end())
        out = m_current->second.path;
    return result;
}

int CPlaylistFileMap::GetNext(std::string& out, bool displayName) {
    utils::logger.info("%s CPlaylistFileMap::GetNext(): Get next music file name only\n",
                       get_player_prefix());
    if (m_tracks.empty())
        return 1;
    int result = 0;
    TrackMap::const_iterator candidate;
    if (m_current == m_tracks.end() || std::next(m_current) == m_tracks.end()) {
        utils::logger.info("%s CPlaylistFileMap::GetNext(): End of list reached going when looking for next song showing top.\n",
                           get_player_prefix());
        // A new order for the next cycle, so the announced name is the one played next.
        if (m_shuffled)
            Shuffle();
        candidate = m_tracks.begin();
        result = 1;
    } else {
        candidate = std::next(m_current);
    }
    out = displayName ? DisplayName(candidate->second) : candidate->second.path;
    utils::logger.info("%s CPlaylistFileMap::GetNext(): returns %s\n", get_player_prefix(), out.c_str());
    return result;
}

std::string CPlaylistFileMap::DisplayName(const PlaylistEntry& entry) {
    std::string name = entry.info.empty() ? entry.path : entry.info;
    if (name.find("#./") == std::string::npos)
        return name;
    // Names written by the playlist generator: "#./" in front, a file extension behind.
    if (name.size() >= 7)
        return name.substr(3, name.size() - 7);
    return name.substr(3);
}

int CPlaylistFileMap::GetCurrentIndex() const {
    return m_current == m_tracks.end() ? -1 : m_current->second.index;
}

void CPlaylistFileMap::SetCurrentAvailable(bool available) {
    if (m_current == m_tracks.end())
        return;
    m_current->second.available = available;
    if (!available && m_available_count > 0)
        --m_available_count;
}
