// ICY StreamTitle extraction: a sequence of metadata packets (separated by zero bytes, the
// way libavformat hands each block over as a C string) applied to one audio source.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "player/source/CAudioSource.h"
#include "tests/fuzz/FuzzSupport.h"
#include "utils/Utf8.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietPlayerLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CAudioSource source;
    const char* text = reinterpret_cast<const char*>(data);
    size_t offset = 0;
    while (offset <= size) {
        const void* zero = memchr(text + offset, 0, size - offset);
        const size_t end = zero ? static_cast<size_t>(static_cast<const char*>(zero) - text) : size;
        const std::string packet(text + offset, end - offset);
        const bool changed = source.ParseStreamTitle(packet);
        if (changed && source.ParseStreamTitle(packet)) {
            abort();  // the same packet twice reports one change at most
        }
        offset = end + 1;
    }
    ContentInfo info;
    source.GetContentInfo(info);
    if (!utils::is_utf8(info.title)) {
        abort();  // whatever the bytes, the title leaves the source as UTF-8
    }
    return 0;
}
