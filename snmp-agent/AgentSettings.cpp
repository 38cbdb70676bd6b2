#include "snmp-agent/AgentSettings.h"

#include "snmp-agent/agent.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace {

const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

// Modification time of the file at path (links followed), or false when there is none.
bool ModificationTime(const std::string& path, struct timespec& out) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  out = info.st_mtim;
  return true;
}

bool Newer(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

}  // namespace

std::string AgentSettings::PlayerStatusFile(int channel) const {
  if (channel < 1 || channel > kChannels) return "";
  const auto index = static_cast<std::size_t>(channel - 1);
  if (playerStatusFileSet[index]) return playerStatusFiles[index];
  const std::string instance = playerRunDir + "/quillon-channel" + std::to_string(channel) + "/status";
  struct timespec instance_time {};
  const bool instance_there = ModificationTime(instance, instance_time);
  if (channel != 1) return instance_there ? instance : "";
  // quillon.service and quillon@1 play the same channel; the one that ran last (a running
  // player touches its file every few seconds) is the one to show.
  const std::string single = playerRunDir + "/quillon";
  struct timespec single_time {};
  if (instance_there && (!ModificationTime(single, single_time) || Newer(instance_time, single_time))) {
    return instance;
  }
  return single;
}

AgentSettings AgentSettings::FromEnvironment() {
  AgentSettings settings;
  if (const char* path = NonEmptyEnv("TANDRIL_SYSID_FILE")) {
    settings.sysIdFile = path;
  }
  if (const char* path = NonEmptyEnv("TANDRIL_NETWORK_FILE")) {
    settings.networkFile = path;
  }
  if (const char* path = NonEmptyEnv("TANDRIL_RUN_DIR")) {
    settings.playerRunDir = path;
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
