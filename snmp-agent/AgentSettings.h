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

  // Status files of the players by channel (element 0 is channel 1) as the command line or
  // the configuration named them (playerStatusFileSet); empty: no player on that channel.
  // The player's health file lies beside its status file.
  static constexpr int kChannels = 4;
  std::array<std::string, kChannels> playerStatusFiles{};
  std::array<bool, kChannels> playerStatusFileSet{};
  // Where the shipped units leave the players' status files (/var/run = /run): channels
  // that nobody named are looked for there.
  std::string playerRunDir = "/var/run";
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

  // The status file served as channel 'channel' (1 to 4) now; empty: no row. A channel
  // that nobody named follows the shipped units: channel 1 is the newer of
  // <run dir>/quillon (quillon.service, through its link) and
  // <run dir>/quillon-channel1/status (quillon@1), the first when neither exists;
  // channel N is <run dir>/quillon-channelN/status while that file exists.
  std::string PlayerStatusFile(int channel) const;

  // Reads TANDRIL_SYSID_FILE, TANDRIL_NETWORK_FILE, TANDRIL_APP_PORT and TANDRIL_RUN_DIR.
  static AgentSettings FromEnvironment();
};
