#pragma once

#include <string>
#include <string_view>

// Extracts the device host name from the network settings file.
class CHostNameFile final {
 public:
  // Returns the host name found in the file at 'path', or an empty text when
  // the file cannot be read or holds no usable "dhcpname" value.
  static std::string Read(const std::string& path);

  // The host name in the file's text: from the first "dhcpname" to the end of
  // that line, the text between the first single quote and the next one (or
  // the rest of the line when there is no closing quote).
  static std::string FromText(std::string_view text);
};
