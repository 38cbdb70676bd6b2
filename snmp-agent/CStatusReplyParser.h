#pragma once

#include <string>

class CTandrilValues;

// Stores the call application's JSON status reply into the agent's values.
class CStatusReplyParser final {
 public:
  // Walks the top-level members of the JSON object in 'text' in their order
  // and stores "mode", "hasRegistered", "expires", "peer_id", "dial_id" and
  // "call_state"; other members are ignored. Returns 0, or -1 when the text is
  // not valid JSON or "expires" is not an integer (members before the failing
  // one keep their new values, later ones are not handled).
  static int Apply(const std::string& text, CTandrilValues& values);

  // Value mappings, exact and case-sensitive.
  static int ModeOf(const std::string& value);
  static int RegStatusOf(const std::string& value);
  static int CallStateOf(const std::string& value);
  // Parses a decimal integer that fills the whole text; false if it does not.
  static bool IntegerOf(const std::string& value, int& result);
};
