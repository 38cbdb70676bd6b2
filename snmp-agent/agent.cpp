#include "snmp-agent/agent.h"

std::atomic<int> keep_running{0};
int sys_id = kDefaultSysId;
