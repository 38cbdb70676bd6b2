// The playlist file map reading an arbitrary playlist file, then walked in every way the
// player walks it (next, previous, peek with display names, select, shuffle and back).

#include <cstddef>
#include <cstdint>
#include <string>

#include "player/playlist/CPlaylistFileMap.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietPlayerLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A plain file: the map refuses to read a playlist through a link.
    static fuzz::FolderFile file("p.m3u");
    file.Set(data, size);

    CPlaylistFileMap map;
    if (map.SetDirectories(file.Folder(), file.Folder()) != 0) {
        abort();
    }
    const int count = map.ParsePlaylist(file.Name(), size % 2 == 0);
    if (count < 0 || static_cast<unsigned>(count) != map.GetTrackCount()) {
        abort();
    }
    std::string out;
    for (int i = 0; i < count + 2; ++i) {
        map.GetNext(out, true);
        map.GetNext(out, false);
        map.MoveToNext(out);
        map.GetCurrentIndex();
    }
    map.MoveToPrevious(out);
    map.SetCurrentAvailable(false);
    map.SelectTrack(static_cast<unsigned>(size % 7), out);
    map.Shuffle();
    for (int i = 0; i < count + 1; ++i) {
        map.GetNext(out, true);
        map.MoveToNext(out);
    }
    if (map.GetTrackCount() != static_cast<unsigned>(count)) {
        abort();  // a shuffle must keep every entry
    }
    map.DontShuffle();
    // A reload appends the same entries again.
    if (map.ParsePlaylist(file.Name(), false) != 2 * count) {
        abort();
    }
    return 0;
}
