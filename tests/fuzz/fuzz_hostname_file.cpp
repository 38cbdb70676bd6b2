// The agent's host name reading from the network settings file: the name fits the
// object's buffer and holds no line end.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "snmp-agent/CHostNameFile.h"
#include "snmp-agent/CTandrilValues.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::MemoryFile file;
    file.Set(data, size);
    const std::string name = CHostNameFile::Read(file.Path());
    if (name.find('\n') != std::string::npos) {
        abort();
    }
    CTandrilValues values;
    values.UpdateHostName(name);
    if (values.HostName().size() >= CTandrilValues::kHostNameSize) {
        abort();
    }
    return 0;
}
