#include "snmp-agent/CAgentCommandLine.h"

#include <getopt.h>

#include <boost/version.hpp>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kAgentVersion = "1.1";

// Long-only options get codes above the character range.
enum OptionCode : int {
  kOptSysIdFile = 256,
  kOptNetworkFile,
  kOptAppPort,
  kOptPlayerStatus,
  kOptPlayerStale,
  kOptNotifications,
};

const option kOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"sysid-file", required_argument, nullptr, kOptSysIdFile},
    {"network-file", required_argument, nullptr, kOptNetworkFile},
    {"app-port", required_argument, nullptr, kOptAppPort},
    {"player-status", required_argument, nullptr, kOptPlayerStatus},
    {"player-stale", required_argument, nullptr, kOptPlayerStale},
    {"notifications", required_argument, nullptr, kOptNotifications},
    {nullptr, 0, nullptr, 0},
};

std::string BaseName(const char* path) {
  const std::string text = path ? path : "";
  const std::string::size_type slash = text.rfind('/');
  return slash == std::string::npos ? text : text.substr(slash + 1);
}

// The option as the user wrote it: getopt names a short option by its letter
// (short options may be grouped), a long one only by its position.
std::string OptionText(int argc, char* const argv[], int index, int short_option) {
  if (short_option > 0 && short_option < 256) {
    return std::string("-") + static_cast<char>(short_option);
  }
  return index > 0 && index <= argc && argv[index - 1] ? argv[index - 1] : "";
}

// Boost spells its version 1_74.
std::string BoostVersion() {
  std::string text = BOOST_LIB_VERSION;
  for (char& c : text) {
    if (c == '_') c = '.';
  }
  return text;
}

}  // namespace

std::string CAgentCommandLine::HelpText(const std::string& program) {
  return "Usage: " + program + " [OPTION]...\n"
         "AgentX subagent of the local SNMP master agent: serves the call application's\n"
         "state and passes remote commands to it. SIGTERM or SIGINT stop it (status 0).\n"
         "\n"
         "  -h, --help               show this help and exit\n"
         "  -V, --version            show the versions of the program and its libraries\n"
         "      --sysid-file FILE    SYS-ID file\n"
         "                           (TANDRIL_SYSID_FILE, /orvane/info/SYS-ID)\n"
         "      --network-file FILE  network settings file with \"dhcpname\"\n"
         "                           (TANDRIL_NETWORK_FILE, /orvane/config/current/network)\n"
         "      --app-port PORT      UDP port of the call application on 127.0.0.1\n"
         "                           (TANDRIL_APP_PORT, 5555)\n"
         "      --player-status N=FILE  status file of the player on channel N (1 to 4);\n"
         "                           an empty FILE: no player there (default: the\n"
         "                           units' files, see the manual); one per channel\n"
         "      --player-stale SECONDS  a player file older than this, not idle: the\n"
         "                           player does not run (default 15)\n"
         "      --notifications yes|no  send SNMP notifications through the master agent\n"
         "                           (default yes)\n"
         "\n"
         "An option wins over its environment variable, which wins over the fixed value.\n"
         "The AgentX socket comes from tandril-snmp-agent.conf in net-snmp's configuration\n"
         "path. Exit status: 0 after a stop, 1 when the agent cannot start, 64 usage error.\n";
}

std::string CAgentCommandLine::VersionText() {
  return std::string("tandril-snmp-agent ") + kAgentVersion + "\n" + "libraries: net-snmp " +
         netsnmp_get_version() + ", Boost " + BoostVersion() + " (headers)\n";
}

bool CAgentCommandLine::Parse(int argc, char* const argv[], AgentSettings& settings, FILE* out,
                              FILE* err) {
  if (argc > 0) m_program = BaseName(argv[0]);
  opterr = 0;  // the messages are the agent's own
  optind = 1;
  for (;;) {
    const int code = getopt_long(argc, argv, ":hV", kOptions, nullptr);
    if (code == -1) break;
    if (code == 'h' || code == 'V') {
      std::fputs((code == 'h' ? HelpText(m_program) : VersionText()).c_str(), out);
      m_exit_status = 0;
      return false;
    }
    if (code == ':') {
      return Fail(err, "option '" + OptionText(argc, argv, optind, optopt) + "' needs a value");
    }
    if (code == kOptPlayerStatus || code == kOptPlayerStale) {
      if (!TakePlayerOption(code == kOptPlayerStatus, optarg, settings, err)) return false;
      continue;
    }
    if (code == kOptNotifications) {
      if (!TakeNotificationsOption(optarg, settings, err)) return false;
      continue;
    }
    if (code != kOptSysIdFile && code != kOptNetworkFile && code != kOptAppPort) {
      return Fail(err, "unknown option '" + OptionText(argc, argv, optind, optopt) + "'");
    }
    if (*optarg == '\0') {
      return Fail(err, "option '" + OptionText(argc, argv, optind, 0) + "' needs a value");
    }
    if (code == kOptSysIdFile) {
      settings.sysIdFile = optarg;
    } else if (code == kOptNetworkFile) {
      settings.networkFile = optarg;
    } else {
      char* end = nullptr;
      errno = 0;
      const unsigned long port = std::strtoul(optarg, &end, 10);
      if (errno != 0 || *end != '\0' || optarg[0] == '-' || port == 0 || port > 65535) {
        return Fail(err, std::string("--app-port takes a port from 1 to 65535, not '") + optarg + "'");
      }
      settings.appPort = static_cast<uint16_t>(port);
    }
  }
  if (optind < argc) {
    return Fail(err, std::string("unexpected argument '") + argv[optind] + "'");
  }
  return true;
}

bool CAgentCommandLine::TakePlayerOption(bool status_file, const char* value,
                                         AgentSettings& settings, FILE* err) {
  if (status_file) {
    const char* equals = std::strchr(value, '=');
    const int channel = (equals == value + 1 && value[0] >= '1' && value[0] <= '4') ? value[0] - '0' : 0;
    if (channel == 0) {
      return Fail(err, std::string("--player-status takes N=FILE with N from 1 to 4, not '") + value + "'");
    }
    settings.playerStatusFiles[channel - 1] = equals + 1;
    settings.playerStatusFileGiven[channel - 1] = true;
    settings.playerStatusFileSet[channel - 1] = true;
    return true;
  }
  char* end = nullptr;
  errno = 0;
  const long seconds = std::strtol(value, &end, 10);
  if (errno != 0 || *end != '\0' || end == value || seconds < 1 || seconds > 86400) {
    return Fail(err, std::string("--player-stale takes seconds from 1 to 86400, not '") + value + "'");
  }
  settings.playerStaleSeconds = seconds;
  settings.playerStaleSecondsGiven = true;
  return true;
}

bool CAgentCommandLine::TakeNotificationsOption(const char* value, AgentSettings& settings,
                                                FILE* err) {
  if (std::strcmp(value, "yes") != 0 && std::strcmp(value, "no") != 0) {
    return Fail(err, std::string("--notifications takes yes or no, not '") + value + "'");
  }
  settings.notifications = std::strcmp(value, "yes") == 0;
  settings.notificationsGiven = true;
  return true;
}

bool CAgentCommandLine::Fail(FILE* err, const std::string& message) {
  std::fprintf(err, "%s: %s\nTry '%s --help' for more information.\n", m_program.c_str(),
               message.c_str(), m_program.c_str());
  m_exit_status = kUsageError;
  return false;
}
