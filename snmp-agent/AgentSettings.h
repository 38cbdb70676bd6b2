#pragma once

#include <cstdint>
#include <string>

// Device paths and the call application's port. The device's values are the
// defaults; the environment may move them (tests, running off the device).
struct AgentSettings final {
  std::string sysIdFile = "/orvane/info/SYS-ID";
  std::string networkFile = "/orvane/config/current/network";
  uint16_t appPort = 5555;

  // Reads TANDRIL_SYSID_FILE, TANDRIL_NETWORK_FILE and TANDRIL_APP_PORT.
  static AgentSettings FromEnvironment();
};
