#pragma once

#include <cstdio>
#include <string>

#include "snmp-agent/AgentSettings.h"

// The agent's command line. Every option is optional: its value wins over the
// environment variable of the same setting, which wins over the device's
// fixed value.
class CAgentCommandLine final {
 public:
  // sysexits' EX_USAGE: an unknown option, a missing or bad value, a stray
  // argument.
  static constexpr int kUsageError = 64;

  // Reads argv (getopt_long) into settings, which hold the environment's
  // values on entry. Returns true when the agent should go on; false when it
  // has to end now with ExitStatus(): after --help or --version (0, text on
  // out) or a usage error (64, message on err). Main thread, once.
  bool Parse(int argc, char* const argv[], AgentSettings& settings, FILE* out = stdout,
             FILE* err = stderr);
  int ExitStatus() const { return m_exit_status; }

  static std::string HelpText(const std::string& program);
  static std::string VersionText();

 private:
  bool Fail(FILE* err, const std::string& message);
  bool TakeNotificationsOption(const char* value, AgentSettings& settings, FILE* err);
  bool TakePlayerOption(bool status_file, const char* value, AgentSettings& settings, FILE* err);

  std::string m_program = "tandril-snmp-agent";
  int m_exit_status = 0;
};
