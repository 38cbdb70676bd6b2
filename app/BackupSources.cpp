#include "app/BackupSources.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/PlaylistPreparation.h"
#include "utils/CIniReader.h"

namespace app {

namespace {

const std::string kUnnamedSection;
constexpr long kDefaultFailoverSeconds = 5;

int32_t read_failover(const utils::CIniReader& reader, const Console& console) {
    const long value = reader.GetInteger(kUnnamedSection, "failover_s", kDefaultFailoverSeconds);
    const long result = std::min(std::max(value, 0L), kMaxFailoverSeconds);
    if (result != value)
        std::fprintf(console.out, "failover_s %ld out of range, using %ld\n", value, result);
    return static_cast<int32_t>(result);
}

// The folder's playlist, written when missing with the files media_extensions chooses, as
// for media_folder; false when the folder cannot be opened.
bool prepare_fallback(const utils::CIniReader& reader, const std::string& media_root,
                      const std::string& name, const Console& console) {
    const std::string folder = media_root + name + "/";
    const std::vector<std::string> extensions =
        ParseMediaExtensions(reader.Get(kUnnamedSection, "media_extensions", ""));
    if (PreparePlaylist(folder, folder + kFolderPlaylistName, console, extensions) == 0) return true;
    std::fprintf(console.out, "The fallback folder [%s] cannot be opened: it is left out.\n",
                 name.c_str());
    return false;
}

}  // namespace

int ReadBackupSources(const std::string& config_file, const std::string& media_root,
                      BackupSources& out, const Console& console) {
    out = BackupSources();
    const utils::CIniReader reader(config_file);
    if (reader.ParseError() < 0) return -1;
    out.url1 = reader.Get(kUnnamedSection, "backup_url1", "");
    out.url2 = reader.Get(kUnnamedSection, "backup_url2", "");
    out.fallback_folder = reader.Get(kUnnamedSection, "fallback_folder", "");
    out.failover_s = read_failover(reader, console);
    if (!out.Any()) return 0;
    if (!out.url1.empty()) std::fprintf(console.out, "BACKUP URL 1 is %s\n", out.url1.c_str());
    if (!out.url2.empty()) std::fprintf(console.out, "BACKUP URL 2 is %s\n", out.url2.c_str());
    if (!out.fallback_folder.empty()) {
        std::fprintf(console.out, "Fallback folder is [%s]\n", out.fallback_folder.c_str());
        if (!prepare_fallback(reader, media_root, out.fallback_folder, console)) out.fallback_folder.clear();
    }
    std::fprintf(console.out, "FAILOVER=%d s\n", static_cast<int>(out.failover_s));
    return 0;
}

}  // namespace app
