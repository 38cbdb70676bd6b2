#pragma once

#include <string>

#include "app/Console.h"

namespace app {

// Name of the playlist written into a media folder.
inline constexpr const char* kFolderPlaylistName = "p.m3u";

// Writes playlist_path listing the ".mp3" files of folder, unless it exists already.
// Returns 0 (also when nothing was written) or 1 when the folder cannot be opened.
int PreparePlaylist(const std::string& folder, const std::string& playlist_path,
                    const Console& console = Console());

}  // namespace app
