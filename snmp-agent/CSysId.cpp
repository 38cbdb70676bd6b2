#include "snmp-agent/CSysId.h"

#include "snmp-agent/agent.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

namespace {

constexpr long kMinSysId = 150;
constexpr long kMaxSysId = 255;

int Malformatted(const std::string& word) {
  snmp_log(LOG_ERR, "%s Malformatted SYS-ID '%s', assuming default SYS-ID:'%d'", kAgentName,
           word.c_str(), kDefaultSysId);
  return kDefaultSysId;
}

}  // namespace

int CSysId::Read(const std::string& path) {
  std::ifstream file(path);
  if (!file.is_open()) {
    snmp_log(LOG_ERR, "%s Missing SYS-ID, assuming default SYS-ID: %d", kAgentName, kDefaultSysId);
    return kDefaultSysId;
  }
  std::string word;
  file >> word;
  return FromWord(word);
}

int CSysId::FromWord(const std::string& word) {
  const std::string::size_type dot = word.rfind('.');
  if (word.empty() || dot == 0 || (dot != std::string::npos && dot + 1 == word.size())) {
    return Malformatted(word);
  }
  const char* digits = word.c_str() + (dot == std::string::npos ? 0 : dot + 1);
  char* end = nullptr;
  errno = 0;
  // Like atoi: leading blanks and a sign are accepted, conversion stops at the
  // first non-digit ("180abc" is 180).
  const long number = std::strtol(digits, &end, 10);
  if (end == digits) {
    return Malformatted(word);
  }
  if (errno == ERANGE || number < kMinSysId || number > kMaxSysId) {
    // Out of int range the logged number is clamped; the id is bogus either way.
    const int shown = static_cast<int>(number < INT_MIN ? INT_MIN : (number > INT_MAX ? INT_MAX : number));
    snmp_log(LOG_ERR, "%s Bogus SYS-ID='%d' detected, assuming default SYS-ID", kAgentName, shown);
    return kDefaultSysId;
  }
  return static_cast<int>(number);
}
