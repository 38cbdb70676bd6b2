#pragma once

#include <string>
#include <vector>

#include "app/Console.h"

namespace app {

// Name of the playlist written into a media folder.
inline constexpr const char* kFolderPlaylistName = "p.m3u";

// The extensions of a "media_extensions" value ("mp3, .FLAC,ogg"): lower case, without dots,
// empty entries dropped.
std::vector<std::string> ParseMediaExtensions(const std::string& text);

// Writes playlist_path listing the track files of folder, unless it exists already: names
// ending in one of extensions (lower case, any case in the name), or without extensions
// names that contain ".mp3". Returns 0 (also when nothing was written) or 1 when the folder
// cannot be opened.
int PreparePlaylist(const std::string& folder, const std::string& playlist_path,
                    const Console& console = Console(),
                    const std::vector<std::string>& extensions = {});

}  // namespace app
