#include "app/PlaylistPreparation.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace app {

namespace {

struct DirCloser {
    void operator()(DIR* d) const noexcept { closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

struct FileCloser {
    void operator()(FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool is_directory(const std::string& folder, const dirent& entry) {
    if (entry.d_type == DT_DIR)
        return true;
    if (entry.d_type != DT_UNKNOWN)
        return false;
    struct stat info {};
    return ::stat((folder + "/" + entry.d_name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A playlist line holds one name: names that would split it, and folders, are no tracks.
bool is_listed(const std::string& folder, const dirent& entry) {
    if (std::strstr(entry.d_name, ".mp3") == nullptr)
        return false;
    if (std::strpbrk(entry.d_name, "\r\n") != nullptr)
        return false;
    return !is_directory(folder, entry);
}

}  // namespace

int PreparePlaylist(const std::string& folder, const std::string& playlist_path,
                    const Console& console) {
    const Dir dir(opendir(folder.c_str()));
    if (!dir) {
        std::fprintf(console.err, "%s\n", std::strerror(errno));
        return 1;
    }
    struct stat info {};
    if (::stat(playlist_path.c_str(), &info) == 0)
        return 0;  // an existing playlist is never rewritten
    std::fprintf(console.out, "Playlist %s does not exist, creating it first time.\n",
                 playlist_path.c_str());
    const File file(std::fopen(playlist_path.c_str(), "w"));
    if (!file)
        return 0;
    while (const dirent* entry = readdir(dir.get())) {
        if (!is_listed(folder, *entry))
            continue;
        std::fprintf(console.out, "%s\n", entry->d_name);
        std::fprintf(file.get(), "%s\n", entry->d_name);
    }
    return 0;
}

}  // namespace app
