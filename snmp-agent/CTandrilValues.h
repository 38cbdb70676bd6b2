#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

// The values behind the agent's scalar objects. The exchange thread writes
// them, the SNMP main thread reads them (and writes remoteCmd on a set).
// Every member below is guarded by m_lock; net-snmp's watcher reads and writes
// them in place, so its handler chain runs under that lock too.
class CTandrilValues final {
 public:
  static constexpr std::size_t kPeerIdSize = 200;
  static constexpr std::size_t kDialIdSize = 255;
  static constexpr std::size_t kHostNameSize = 64;
  // appLinkStatus: no exchange finished yet; the application answered the latest request;
  // it did not (time-out, refused, socket error).
  static constexpr long kLinkUnknown = 0;
  static constexpr long kLinkAnswering = 1;
  static constexpr long kLinkNotAnswering = 2;

  // The one instance the registered objects point into.
  static CTandrilValues& Instance();

  CTandrilValues() = default;
  CTandrilValues(const CTandrilValues&) = delete;
  CTandrilValues& operator=(const CTandrilValues&) = delete;

  std::mutex& Lock() { return m_lock; }

  // Stores an integer value (takes the lock).
  void Store(long CTandrilValues::*member, long value);
  // Returns an integer value (takes the lock).
  long Load(long CTandrilValues::*member);

  // Clears the peer id / dial id buffer, then copies at most size-1 bytes of
  // 'text' into it (takes the lock).
  void StorePeerId(std::string_view text);
  void StoreDialId(std::string_view text);
  // The peer id text up to its first zero byte (takes the lock).
  std::string PeerIdText();

  // Writes the host name (cut to 63 bytes) when it differs from the current
  // one; returns true if it was written (takes the lock).
  bool UpdateHostName(std::string_view name);
  // The host name text (takes the lock).
  std::string HostName();

  // Takes a pending remote command and resets it to 0 in one step: returns
  // the command when it is positive, otherwise 0 and leaves the value as it
  // is (takes the lock).
  long TakeRemoteCmd();

  // The variables, reachable for the watched-scalar registrations. Guarded by
  // m_lock. The integers are 'long', net-snmp's own INTEGER size: the watcher
  // refuses a set whose value size differs from the variable's, and net-snmp
  // carries INTEGER values as long (8 bytes on 64-bit hosts, 4 on the device).
  long mode = 0;
  long regStatus = 0;
  long expires = 0;
  char remotePeerId[kPeerIdSize] = {};
  long callState = 0;
  char dialId[kDialIdSize] = {};
  long remoteCmd = 0;
  char hostName[kHostNameSize] = {};
  long appLinkStatus = kLinkUnknown;

 private:
  std::mutex m_lock;
};
