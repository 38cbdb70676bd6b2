#include "snmp-agent/CHostNameFile.h"

#include <fstream>
#include <iterator>

std::string CHostNameFile::Read(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) {
    return std::string();
  }
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return FromText(text);
}

std::string CHostNameFile::FromText(std::string_view text) {
  const std::string_view::size_type key = text.find("dhcpname");
  if (key == std::string_view::npos) {
    return std::string();
  }
  std::string_view line = text.substr(key);
  line = line.substr(0, line.find('\n'));
  const std::string_view::size_type open = line.find('\'');
  if (open == std::string_view::npos) {
    return std::string();
  }
  std::string_view value = line.substr(open + 1);
  value = value.substr(0, value.find('\''));
  return std::string(value);
}
