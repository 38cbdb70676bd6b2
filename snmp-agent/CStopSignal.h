#pragma once

#include "snmp-agent/UniqueFd.h"

// SIGTERM and SIGINT stop the agent: the handler clears keep_running and
// writes one byte into a pipe that net-snmp's main loop watches, so a stop
// arriving just before the loop blocks still wakes it.
class CStopSignal final {
 public:
  CStopSignal() = default;
  CStopSignal(const CStopSignal&) = delete;
  CStopSignal& operator=(const CStopSignal&) = delete;
  ~CStopSignal();

  // Creates the pipe, registers it with net-snmp and installs the handler.
  // Returns 0 or a negative errno. Main thread, once.
  int Install();

  // Blocks SIGTERM and SIGINT in the calling thread (and the threads it
  // starts afterwards) so they reach the main thread; Unblock() undoes it.
  static void Block();
  static void Unblock();

 private:
  UniqueFd m_read;
  UniqueFd m_write;
};
