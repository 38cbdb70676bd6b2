#pragma once

#include <cstdint>
#include <string>

#include "app/Console.h"

namespace app {

// Where a stream player turns when its stream brings no audio, in this order: two backup
// streams, then a folder of the media card played like media_folder.
struct BackupSources {
    std::string url1;             // backup_url1
    std::string url2;             // backup_url2
    std::string fallback_folder;  // fallback_folder, below the media root; empty: none
    int32_t failover_s = 5;       // failover_s: seconds without audio before moving on; 0 never

    bool Any() const { return !url1.empty() || !url2.empty() || !fallback_folder.empty(); }
    bool operator==(const BackupSources& other) const {
        return url1 == other.url1 && url2 == other.url2 &&
               fallback_folder == other.fallback_folder && failover_s == other.failover_s;
    }
    bool operator!=(const BackupSources& other) const { return !(*this == other); }
};

// Longest failover_s taken (a day); larger values are clamped with a console note.
inline constexpr long kMaxFailoverSeconds = 86400;

// Reads the backup keys of the INI file at config_file (a stream configuration that
// ReadConfiguration accepted) and prints them. A fallback folder that cannot be opened is
// left out with a console note; otherwise its "p.m3u" is written when missing. Returns 0,
// or -1 when the file cannot be read (out is then empty).
int ReadBackupSources(const std::string& config_file, const std::string& media_root,
                      BackupSources& out, const Console& console = Console());

}  // namespace app
