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

// Writes playlist_path listing the track files of folder, unless a list exists already (an
// empty one is written anew): names ending in one of extensions (lower case, any case in the
// name), or without extensions names that contain ".mp3". The list replaces the name only
// once it is complete on the card; a symbolic link at the name is refused with a console
// line. Returns 0 (also when nothing was written) or 1 when the folder cannot be opened.
int PreparePlaylist(const std::string& folder, const std::string& playlist_path,
                    const Console& console = Console(),
                    const std::vector<std::string>& extensions = {});

// True, after a console line, when playlist_path is a symbolic link: the player neither
// writes nor reads a playlist through a link on the media card.
bool RefuseLinkedPlaylist(const std::string& playlist_path, const Console& console = Console());

}  // namespace app
