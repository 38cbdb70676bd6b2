#pragma once

#include "snmp-agent/AgentSettings.h"
#include "snmp-agent/UniqueFd.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

class CTandrilValues;

// The link to the call application: a UDP socket on the loopback interface,
// polled about once a second for the application's JSON status, which is
// stored into the agent's values, with whether it answered (appLinkStatus);
// also carries the remote commands.
class CAppLink final {
 public:
  CAppLink(const AgentSettings& settings, CTandrilValues& values);
  CAppLink(const CAppLink&) = delete;
  CAppLink& operator=(const CAppLink&) = delete;

  // Creates the socket, binds it to 127.0.0.1 port 0 and connects it to the
  // application's port. Logs the failed step; returns 0 or a negative errno.
  int Open();

  // The exchange thread's body: runs cycles until keep_running is cleared or
  // RequestStop() is called.
  void Run();

  // Wakes the exchange thread out of its pause or its receive so that it ends
  // soon. Any thread except a signal handler.
  void RequestStop();

 private:
  void RunCycle();
  // One request and its answer; true when the application answered (any datagram).
  bool Exchange();
  void RefreshHostName();
  // Sleeps one second, or less when a stop is requested; false once stopping.
  bool Pause();
  int SendPendingCommand();
  // Sends one datagram: 0, -ECONNREFUSED when nobody listens, or another
  // negative errno after logging it and closing the socket.
  int Send(std::string_view datagram);
  // Every datagram already waiting, without blocking; the newest replaces
  // 'newest'. False when none was waiting.
  bool TakeWaiting(std::string& newest);
  // Waits up to a second for the answer to this cycle's request, takes what
  // else is waiting, and stores the newest datagram of the cycle ('stale':
  // one that was waiting before the request was sent, if any). True when a datagram
  // was stored.
  bool ReceiveStatus(const std::string* stale);
  void HandleReply(const std::string& datagram);
  bool Stopping();

  const AgentSettings m_settings;
  CTandrilValues& m_values;  // not owned

  std::mutex m_lock;
  std::condition_variable m_wake;  // signalled by RequestStop()
  bool m_stop = false;             // guarded by m_lock
  // Replaced only by the exchange thread; guarded by m_lock so that
  // RequestStop() never shuts down a closed or reused descriptor.
  UniqueFd m_socket;
};

// Body of the exchange thread for 'link'.
void startup_udp_thread(CAppLink& link);
