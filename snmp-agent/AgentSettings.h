#pragma once

#include <array>
#include <cstdint>
#include <string>

// Device paths and the call application's port. The device's values are the
// defaults; the environment may move them (tests, running off the device).
struct AgentSettings final {
  std::string sysIdFile = "/orvane/info/SYS-ID";
  std::string networkFile = "/orvane/config/current/network";
  uint16_t appPort = 5555;

  // Status files of the players by channel (element 0 is channel 1); empty: no player on
  // that channel. The player's health file lies beside its status file.
  static constexpr int kChannels = 4;
  std::array<std::string, kChannels> playerStatusFiles{{"/var/run/quillon", "", "", ""}};
  // A status file that is not idle, or a health file, older than this counts as left
  // behind by a player that no longer runs.
  int64_t playerStaleSeconds = 15;
  // Which of the above the command line set: those win over the configuration file.
  std::array<bool, kChannels> playerStatusFileGiven{};
  bool playerStaleSecondsGiven = false;

  // SNMP notifications through the master agent ("notifications no" in the configuration
  // file, --notifications no): off sends none.
  bool notifications = true;
  bool notificationsGiven = false;  // set by the command line: wins over the file

  // Reads TANDRIL_SYSID_FILE, TANDRIL_NETWORK_FILE and TANDRIL_APP_PORT.
  static AgentSettings FromEnvironment();
};
