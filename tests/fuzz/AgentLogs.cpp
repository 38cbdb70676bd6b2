#include "tests/fuzz/FuzzSupport.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

namespace fuzz {

namespace {
int Drop(int, int, void*, void*) { return 0; }
}  // namespace

void QuietAgentLogs()
{
    snmp_enable_calllog();
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, Drop, nullptr);
}

}  // namespace fuzz
