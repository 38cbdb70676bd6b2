#include "snmp-agent/CStopSignal.h"

#include "snmp-agent/agent.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Written once by Install() before the handler is installed.
volatile sig_atomic_t g_wake_fd = -1;

void on_stop_signal(int /*signal*/) {
  const int saved_errno = errno;
  keep_running.store(0);
  const char byte = 1;
  // A full pipe already holds a wake-up.
  [[maybe_unused]] const ssize_t written = ::write(g_wake_fd, &byte, 1);
  errno = saved_errno;
}

void drain_wake_pipe(int fd, void* /*data*/) {
  char bytes[16];
  while (::read(fd, bytes, sizeof bytes) > 0) {
  }
}

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

}  // namespace

CStopSignal::~CStopSignal() {
  if (m_read.valid()) {
    unregister_readfd(m_read.get());
  }
}

int CStopSignal::Install() {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    return -errno;
  }
  m_read.reset(fds[0]);
  m_write.reset(fds[1]);
  g_wake_fd = m_write.get();
  if (register_readfd(m_read.get(), drain_wake_pipe, nullptr) != FD_REGISTERED_OK) {
    return -EINVAL;
  }
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  if (::sigaction(SIGTERM, &action, nullptr) != 0 || ::sigaction(SIGINT, &action, nullptr) != 0) {
    return -errno;
  }
  return 0;
}

void CStopSignal::Block() {
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void CStopSignal::Unblock() {
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}
