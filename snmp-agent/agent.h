#pragma once

#include <atomic>

// Process-wide values of the agent, shared by the main thread, the stop
// handler and the exchange thread.

// Name used towards net-snmp: application name, configuration file base name
// and the first word of every message.
inline constexpr const char* kAgentName = "tandril-snmp-agent";

// 1 while the agent serves; cleared by the stop handler.
extern std::atomic<int> keep_running;

// The device's SYS-ID (150 to 255); written once at start, before any other
// thread exists, and read-only afterwards.
extern int sys_id;

// The maker's private enterprise number, a build constant.
inline constexpr unsigned kEnterpriseNumber = TANDRIL_ENTERPRISE_NUMBER;

// SYS-ID used when the device file gives no usable one.
inline constexpr int kDefaultSysId = TANDRIL_DEFAULT_SYS_ID;
