#include "snmp-agent/CAppLink.h"

#include "snmp-agent/CHostNameFile.h"
#include "snmp-agent/CStatusReplyParser.h"
#include "snmp-agent/CTandrilValues.h"
#include "snmp-agent/agent.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr std::size_t kMaxReply = 1024;
constexpr std::string_view kStatusRequest = "get_status=2";

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int Failed(const char* step) {
  const int error = errno;
  snmp_log(LOG_ERR, "%s UDP socket %s failed: %s\n", kAgentName, step, std::strerror(error));
  return -error;
}

}  // namespace

CAppLink::CAppLink(const AgentSettings& settings, CTandrilValues& values)
    : m_settings(settings), m_values(values) {}

int CAppLink::Open() {
  UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) {
    return Failed("open");
  }
  const sockaddr_in local = LoopbackAddress(0);
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return Failed("bind");
  }
  const sockaddr_in remote = LoopbackAddress(m_settings.appPort);
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
    return Failed("connect");
  }
  // The receive waits at most one second for the application's reply.
  const timeval timeout{1, 0};
  if (::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
    return Failed("setsockopt");
  }
  std::lock_guard<std::mutex> lock(m_lock);
  m_socket = std::move(socket);
  return 0;
}

void CAppLink::Run() {
  while (keep_running.load() != 0 && !Stopping()) {
    RunCycle();
  }
  std::lock_guard<std::mutex> lock(m_lock);
  m_socket.reset();
}

void CAppLink::RequestStop() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_stop = true;
  if (m_socket.valid()) {
    // Ends a receive that is waiting for the application.
    ::shutdown(m_socket.get(), SHUT_RDWR);
  }
  m_wake.notify_all();
}

bool CAppLink::Stopping() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_stop;
}

void CAppLink::RunCycle() {
  RefreshHostName();
  if (!Pause()) {
    return;
  }
  const bool answered = Exchange();
  if (!Stopping()) {
    m_values.Store(&CTandrilValues::appLinkStatus,
                   answered ? CTandrilValues::kLinkAnswering : CTandrilValues::kLinkNotAnswering);
  }
}

bool CAppLink::Exchange() {
  if (!m_socket.valid() && Open() != 0) {
    return false;  // logged; tried again next cycle
  }
  // Answers that came after an earlier cycle gave up waiting (or a second
  // answer to one request) would otherwise be read as the answer to this
  // cycle's request, and every later cycle would lag one answer behind.
  std::string stale;
  const bool have_stale = TakeWaiting(stale);
  if (SendPendingCommand() != 0 || Send(kStatusRequest) != 0) {
    return false;
  }
  return ReceiveStatus(have_stale ? &stale : nullptr);
}

void CAppLink::RefreshHostName() {
  m_values.UpdateHostName(CHostNameFile::Read(m_settings.networkFile));
}

bool CAppLink::Pause() {
  std::unique_lock<std::mutex> lock(m_lock);
  return !m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stop; });
}

int CAppLink::SendPendingCommand() {
  const long command = m_values.TakeRemoteCmd();
  switch (command) {
    case 0:
      return 0;
    case 1:
      return Send("dial=" + m_values.PeerIdText());
    case 2:
      return Send("answer=1");
    case 3:
      return Send("hangup=1");
    default:
      return Send(std::string_view());
  }
}

int CAppLink::Send(std::string_view datagram) {
  // A refusal may be left over from an earlier datagram that nobody received;
  // it is reported once and cleared, so one retry tells whether this one
  // is refused too.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (::send(m_socket.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL) >= 0) {
      return 0;
    }
    if (errno != ECONNREFUSED) {
      const int error = errno;
      snmp_log(LOG_ERR, "%s UDP socket exception: %s\n", kAgentName, std::strerror(error));
      std::lock_guard<std::mutex> lock(m_lock);
      m_socket.reset();  // opened again next cycle
      return -error;
    }
  }
  return -ECONNREFUSED;
}

bool CAppLink::TakeWaiting(std::string& newest) {
  // Bounded, so that an application flooding the socket cannot hold the cycle.
  constexpr int kMaxTaken = 256;
  char buffer[kMaxReply];
  bool taken = false;
  for (int i = 0; i < kMaxTaken; ++i) {
    const ssize_t received = ::recv(m_socket.get(), buffer, kMaxReply, MSG_DONTWAIT);
    if (received < 0) {
      break;  // nothing more waiting, or a refusal left over from a send
    }
    newest.assign(buffer, static_cast<std::size_t>(received));
    taken = true;
  }
  return taken;
}

bool CAppLink::ReceiveStatus(const std::string* stale) {
  char buffer[kMaxReply];
  const ssize_t received = ::recv(m_socket.get(), buffer, kMaxReply, 0);
  std::string newest;
  bool have = false;
  if (received >= 0) {
    newest.assign(buffer, static_cast<std::size_t>(received));
    TakeWaiting(newest);
    have = true;
  } else {
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      snmp_log(LOG_ERR, "%s timeout waiting for application\n", kAgentName);
    } else if (error != ECONNREFUSED && error != EINTR) {
      snmp_log(LOG_ERR, "%s UDP socket error: %d\n", kAgentName, error);
    }
    if (stale != nullptr) {
      newest = *stale;  // late, but still the newest word from the application
      have = true;
    }
  }
  if (have && !Stopping()) {
    HandleReply(newest);
  }
  return have;
}

void CAppLink::HandleReply(const std::string& datagram) {
  // The reply is text up to its first zero byte; an empty one carries no JSON.
  const std::string text(datagram.c_str(), strnlen(datagram.c_str(), datagram.size()));
  if (text.empty() || CStatusReplyParser::Apply(text, m_values) != 0) {
    snmp_log(LOG_ERR, "%s cannot parse JSON info from application\n", kAgentName);
  }
}

void startup_udp_thread(CAppLink& link) {
  link.Run();
}
