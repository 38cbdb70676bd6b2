#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

// Registers netHostName (1.3.6.1.4.1.E.3.1.1), read-only. Main thread,
// before init_snmp().
void init_netHostName();

// Answers a get with the device host name; any other mode is a general error.
Netsnmp_Node_Handler handle_netHostName;
