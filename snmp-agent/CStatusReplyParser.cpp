#include "snmp-agent/CStatusReplyParser.h"

#include "snmp-agent/CTandrilValues.h"

// The JSON parser still includes Boost's old global bind placeholders; take them as they are.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <charconv>
#include <sstream>

namespace pt = boost::property_tree;

int CStatusReplyParser::Apply(const std::string& text, CTandrilValues& values) {
  pt::ptree tree;
  try {
    std::istringstream stream(text);
    pt::read_json(stream, tree);
  } catch (const pt::ptree_error&) {
    return -1;
  }
  for (const auto& member : tree) {
    const std::string& name = member.first;
    const std::string& value = member.second.data();
    if (name == "mode") {
      values.Store(&CTandrilValues::mode, ModeOf(value));
    } else if (name == "hasRegistered") {
      values.Store(&CTandrilValues::regStatus, RegStatusOf(value));
    } else if (name == "expires") {
      int expires = 0;
      if (!IntegerOf(value, expires)) {
        return -1;
      }
      values.Store(&CTandrilValues::expires, expires);
    } else if (name == "peer_id") {
      values.StorePeerId(value);
    } else if (name == "dial_id") {
      values.StoreDialId(value);
    } else if (name == "call_state") {
      values.Store(&CTandrilValues::callState, CallStateOf(value));
    }
  }
  return 0;
}

int CStatusReplyParser::ModeOf(const std::string& value) {
  if (value == "DECODER") return 3;
  if (value == "ENCODER") return 2;
  if (value == "FDX") return 1;
  return 0;
}

int CStatusReplyParser::RegStatusOf(const std::string& value) {
  return value == "Yes" ? 1 : 0;
}

int CStatusReplyParser::CallStateOf(const std::string& value) {
  if (value == "inactive") return 0;
  if (value == "active") return 1;
  if (value == "ringing") return 2;
  if (value == "incoming") return 3;
  return 4;
}

bool CStatusReplyParser::IntegerOf(const std::string& value, int& result) {
  // The JSON reader keeps numbers as their text, so a number and a string
  // holding only an integer look the same here.
  const char* const first = value.data();
  const char* const last = first + value.size();
  int parsed = 0;
  const auto [end, error] = std::from_chars(first, last, parsed);
  if (value.empty() || error != std::errc() || end != last) {
    return false;
  }
  result = parsed;
  return true;
}
