// The agent's SYS-ID file reading: whatever the file holds, the id is 150 to 255.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "snmp-agent/CSysId.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietAgentLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::MemoryFile file;
    file.Set(data, size);
    const int id = CSysId::Read(file.Path());
    if (id < 150 || id > 255) {
        abort();
    }
    return 0;
}
