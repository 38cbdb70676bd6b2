#include "app/PlaylistPreparation.h"
#include "utils/utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace app {

namespace {

struct DirCloser {
    void operator()(DIR* d) const noexcept { closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// Folders are no tracks, also when a link leads to one.
bool is_directory(const std::string& folder, const dirent& entry) {
    if (entry.d_type == DT_DIR)
        return true;
    if (entry.d_type != DT_UNKNOWN && entry.d_type != DT_LNK)
        return false;
    struct stat info {};
    return ::stat((folder + "/" + entry.d_name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool ends_with_extension(const std::string& name, const std::string& extension) {
    if (name.size() <= extension.size() + 1 || name[name.size() - extension.size() - 1] != '.')
        return false;
    return std::equal(extension.begin(), extension.end(), name.end() - static_cast<long>(extension.size()),
                      [](char e, char n) { return e == lower(n); });
}

// Without configured extensions a track is any name holding ".mp3", as it always was.
bool is_track_name(const std::string& name, const std::vector<std::string>& extensions) {
    if (extensions.empty())
        return name.find(".mp3") != std::string::npos;
    return std::any_of(extensions.begin(), extensions.end(),
                       [&name](const std::string& e) { return ends_with_extension(name, e); });
}

enum class Listing {
    Skip,        // not a track
    AsIs,        // the name is the line
    Relative,    // the line is "./" and the name
    Unreadable,  // no line reads back as this name
};

// The playlist reader trims blanks around a line, takes a line starting with "#" for a
// comment and a line shorter than five characters for no track. A name that a line of its
// own would lose to that is written as a path relative to the folder; a name that breaks
// the line or ends in a blank cannot be written at all.
Listing listing_of(const std::string& folder, const dirent& entry,
                   const std::vector<std::string>& extensions) {
    const std::string name = entry.d_name;
    if (!is_track_name(name, extensions) || is_directory(folder, entry))
        return Listing::Skip;
    if (name.find_first_of("\r\n") != std::string::npos || is_blank(name.back()))
        return Listing::Unreadable;
    if (is_blank(name.front()) || name.front() == '#' || name.size() < 5)
        return Listing::Relative;
    return Listing::AsIs;
}

// The name for a console line: control characters would split or hide it.
std::string printable(std::string name) {
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20)
            c = '?';
    }
    return name;
}

// Adds the entry's line to text (and the console); names that cannot be listed are said.
void list_entry(const std::string& folder, const dirent& entry, std::string& text,
                const Console& console, const std::vector<std::string>& extensions) {
    const Listing listing = listing_of(folder, entry, extensions);
    if (listing == Listing::Skip)
        return;
    if (listing == Listing::Unreadable) {
        std::fprintf(console.out, "Left out of the playlist (a playlist line cannot hold its name): %s\n",
                     printable(entry.d_name).c_str());
        return;
    }
    const std::string line = (listing == Listing::Relative ? "./" : "") + std::string(entry.d_name);
    std::fprintf(console.out, "%s\n", line.c_str());
    text += line;
    text += '\n';
}

// The rename is only durable once the folder's entry is on the card.
void sync_folder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// A power cut or a full card must never leave a cut list under the playlist's name: the
// list goes to a temporary file beside it, reaches the card, and only then takes the name.
// 0 or the errno of the failure; nothing is left behind on failure.
int replace_playlist(const std::string& folder, const std::string& playlist_path,
                     const std::string& text) {
    std::string temp = folder + (folder.empty() || folder.back() != '/' ? "/" : "") + ".p.m3u.XXXXXX";
    const int fd = ::mkstemp(&temp[0]);
    if (fd < 0)
        return errno;
    ::fchmod(fd, 0644);  // mkstemp's 0600 would hide the list from other readers
    int err = utils::write_all(fd, text);
    if (err == 0 && ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && ::rename(temp.c_str(), playlist_path.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        return err;
    }
    sync_folder(folder);
    return 0;
}

// What lies at the playlist's name decides whether a list is written.
enum class Existing { None, Kept, Empty, Link };

Existing existing_playlist(const std::string& playlist_path) {
    struct stat info {};
    if (::lstat(playlist_path.c_str(), &info) != 0)
        return Existing::None;
    if (S_ISLNK(info.st_mode))
        return Existing::Link;
    // An empty list is what a power cut or a full card left of the first write.
    if (S_ISREG(info.st_mode) && info.st_size == 0)
        return Existing::Empty;
    return Existing::Kept;
}

}  // namespace

std::vector<std::string> ParseMediaExtensions(const std::string& text) {
    std::vector<std::string> extensions;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(',', start), text.size());
        std::string item = text.substr(start, end - start);
        item.erase(0, item.find_first_not_of(" \t."));
        item.erase(item.find_last_not_of(" \t") + 1);
        std::transform(item.begin(), item.end(), item.begin(), lower);
        if (!item.empty())
            extensions.push_back(item);
        start = end + 1;
    }
    return extensions;
}

bool RefuseLinkedPlaylist(const std::string& playlist_path, const Console& console) {
    struct stat info {};
    if (::lstat(playlist_path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
        return false;
    std::fprintf(console.out,
                 "Playlist %s is a symbolic link: refused, it is neither written nor played.\n",
                 playlist_path.c_str());
    return true;
}

int PreparePlaylist(const std::string& folder, const std::string& playlist_path,
                    const Console& console, const std::vector<std::string>& extensions) {
    const Dir dir(opendir(folder.c_str()));
    if (!dir) {
        std::fprintf(console.err, "%s\n", std::strerror(errno));
        return 1;
    }
    switch (existing_playlist(playlist_path)) {
        case Existing::Kept:
            return 0;  // an existing playlist is never rewritten
        case Existing::Link:
            RefuseLinkedPlaylist(playlist_path, console);
            return 0;
        case Existing::Empty:
            std::fprintf(console.out, "Playlist %s is empty, creating it anew.\n", playlist_path.c_str());
            break;
        case Existing::None:
            std::fprintf(console.out, "Playlist %s does not exist, creating it first time.\n",
                         playlist_path.c_str());
            break;
    }
    std::string text;
    while (const dirent* entry = readdir(dir.get()))
        list_entry(folder, *entry, text, console, extensions);
    const int err = replace_playlist(folder, playlist_path, text);
    if (err != 0)
        std::fprintf(console.out, "Playlist %s cannot be written (%s): nothing was written.\n",
                     playlist_path.c_str(), std::strerror(err));
    return 0;
}

}  // namespace app
