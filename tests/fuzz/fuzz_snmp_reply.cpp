// The agent's parser of the call application's JSON status reply, on one datagram of at
// most 1024 bytes read up to its first zero byte, as the link reads it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "snmp-agent/CStatusReplyParser.h"
#include "snmp-agent/CTandrilValues.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietAgentLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr size_t kDatagram = 1024;
    const size_t length = size < kDatagram ? size : kDatagram;
    const char* text = reinterpret_cast<const char*>(data);
    const std::string reply(text, strnlen(text, length));

    CTandrilValues values;
    CStatusReplyParser::Apply(reply, values);
    // The text buffers stay terminated whatever the reply held.
    if (values.PeerIdText().size() >= CTandrilValues::kPeerIdSize ||
        strnlen(values.dialId, CTandrilValues::kDialIdSize) >= CTandrilValues::kDialIdSize) {
        abort();
    }
    const long mode = values.Load(&CTandrilValues::mode);
    const long state = values.Load(&CTandrilValues::callState);
    if (mode < 0 || mode > 3 || state < 0 || state > 4) {
        abort();
    }
    return 0;
}
