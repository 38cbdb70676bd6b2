// The PLS parser on an arbitrary downloaded playlist file.

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "player/source/CPLSParser.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::MemoryFile file;
    file.Set(data, size);

    CPLSParser parser;
    const int result = parser.ParseFile(file.Path().c_str());
    std::list<std::string> urls;
    parser.GetURLs(urls);
    if (result != 0 && !urls.empty()) {
        abort();  // a file with a syntax error lists nothing
    }
    for (const std::string& url : urls) {
        if (url.find("://") == std::string::npos) {
            abort();
        }
    }
    parser.Release();
    parser.GetURLs(urls);
    return 0;
}
