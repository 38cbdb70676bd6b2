#include "snmp-agent/AgentSettings.h"

#include "snmp-agent/agent.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cerrno>
#include <cstdlib>

namespace {

const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

}  // namespace

AgentSettings AgentSettings::FromEnvironment() {
  AgentSettings settings;
  if (const char* path = NonEmptyEnv("TANDRIL_SYSID_FILE")) {
    settings.sysIdFile = path;
  }
  if (const char* path = NonEmptyEnv("TANDRIL_NETWORK_FILE")) {
    settings.networkFile = path;
  }
  if (const char* port = NonEmptyEnv("TANDRIL_APP_PORT")) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(port, &end, 10);
    if (errno == 0 && *end == '\0' && value > 0 && value <= 65535) {
      settings.appPort = static_cast<uint16_t>(value);
    } else {
      snmp_log(LOG_ERR, "%s ignoring TANDRIL_APP_PORT '%s', using port %u\n", kAgentName, port,
               static_cast<unsigned>(settings.appPort));
    }
  }
  return settings;
}
