#include "snmp-agent/CTandrilValues.h"

#include <algorithm>
#include <cstring>

namespace {

// Buffers are zero-filled behind the text so that a full-size read returns
// the text followed by zero bytes, never the rest of an older text.
void CopyText(char* buffer, std::size_t size, std::string_view text) {
  std::memset(buffer, 0, size);
  std::memcpy(buffer, text.data(), std::min(text.size(), size - 1));
}

std::string TextOf(const char* buffer, std::size_t size) {
  return std::string(buffer, strnlen(buffer, size));
}

}  // namespace

CTandrilValues& CTandrilValues::Instance() {
  static CTandrilValues values;
  return values;
}

void CTandrilValues::Store(long CTandrilValues::*member, long value) {
  std::lock_guard<std::mutex> lock(m_lock);
  this->*member = value;
}

long CTandrilValues::Load(long CTandrilValues::*member) {
  std::lock_guard<std::mutex> lock(m_lock);
  return this->*member;
}

void CTandrilValues::StorePeerId(std::string_view text) {
  std::lock_guard<std::mutex> lock(m_lock);
  CopyText(remotePeerId, sizeof remotePeerId, text);
}

void CTandrilValues::StoreDialId(std::string_view text) {
  std::lock_guard<std::mutex> lock(m_lock);
  CopyText(dialId, sizeof dialId, text);
}

std::string CTandrilValues::PeerIdText() {
  std::lock_guard<std::mutex> lock(m_lock);
  return TextOf(remotePeerId, sizeof remotePeerId);
}

bool CTandrilValues::UpdateHostName(std::string_view name) {
  name = name.substr(0, sizeof hostName - 1);
  std::lock_guard<std::mutex> lock(m_lock);
  if (TextOf(hostName, sizeof hostName) == name) {
    return false;
  }
  CopyText(hostName, sizeof hostName, name);
  return true;
}

std::string CTandrilValues::HostName() {
  std::lock_guard<std::mutex> lock(m_lock);
  return TextOf(hostName, sizeof hostName);
}

long CTandrilValues::TakeRemoteCmd() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (remoteCmd <= 0) {
    return 0;
  }
  const long command = remoteCmd;
  remoteCmd = 0;
  return command;
}
