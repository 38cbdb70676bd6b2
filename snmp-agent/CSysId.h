#pragma once

#include <string>

// Reads the device's SYS-ID: the last dot-separated part of the first word of
// the SYS-ID file (for example the last part of a dotted address).
class CSysId final {
 public:
  // Returns the SYS-ID from the file at 'path', or the default SYS-ID (after
  // logging why) when the file is missing or holds no id from 150 to 255.
  static int Read(const std::string& path);

  // Returns the SYS-ID carried by one word of the file, or the default.
  static int FromWord(const std::string& word);
};
