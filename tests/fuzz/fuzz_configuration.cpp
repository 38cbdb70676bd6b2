// The player program's configuration reading on an arbitrary INI file. The media root does
// not exist, so a media folder never opens and no playlist is ever written (a folder name
// holding ".." cannot climb out of a missing folder).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/Configuration.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::MemoryFile file;
    static FILE* null_out = fopen("/dev/null", "w");
    file.Set(data, size);

    OrvanePlayer::PlaybackItem item;
    OrvanePlayer::StreamParams params;
    OrvanePlayer::PlayerInit init;
    app::SetEntryDefaults(item, params, init);
    app::Console console;
    console.out = null_out;
    console.err = null_out;
    const int result = app::ReadConfiguration(file.Path(), "/nonexistent-quillon-fuzz-root/", item,
                                              params, init, console);
    if (result == 0) {
        if (item.name.empty() || item.volume < 0 || item.volume > 100) {
            abort();
        }
    }
    return 0;
}
