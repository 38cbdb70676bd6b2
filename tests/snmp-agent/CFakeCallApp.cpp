#include "CFakeCallApp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

CFakeCallApp::CFakeCallApp(uint16_t port) {
  m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("fake call application cannot bind");
  }
  socklen_t length = sizeof address;
  ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
  m_port = ntohs(address.sin_port);
  m_thread = std::thread(&CFakeCallApp::Serve, this);
}

CFakeCallApp::~CFakeCallApp() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_stop = true;
  }
  // Wakes the blocking receive.
  ::shutdown(m_fd, SHUT_RDWR);
  m_thread.join();
  for (std::thread& sender : m_late_senders) {
    sender.join();
  }
  ::close(m_fd);
}

void CFakeCallApp::SetNumberedReplies() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_numbered = true;
}

void CFakeCallApp::AnswerLate(int count, std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_late = count;
  m_late_delay = delay;
}

void CFakeCallApp::AnswerTwice() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_twice = 1;
}

long CFakeCallApp::LastNumberSent() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_last_number;
}

void CFakeCallApp::SendTo(const std::string& reply, const sockaddr_in& peer) {
  ::sendto(m_fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
}

void CFakeCallApp::SetReply(const std::string& reply) { SetReplies({reply}); }

void CFakeCallApp::SetReplies(const std::vector<std::string>& replies) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_replies = replies;
  m_next_reply = 0;
}

void CFakeCallApp::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_silent = silent;
}

std::vector<std::string> CFakeCallApp::Commands() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_commands;
}

std::size_t CFakeCallApp::StatusRequests() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_status_requests;
}

bool CFakeCallApp::WaitForStatusRequests(std::size_t since, std::size_t count, std::chrono::seconds limit) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_for(lock, limit, [&] { return m_status_requests >= since + count; });
}

bool CFakeCallApp::WaitReplyHandled() {
  // The first request after this point gets the reply; the agent handles a
  // reply before it asks again.
  return WaitForStatusRequests(StatusRequests(), 2);
}

void CFakeCallApp::Serve() {
  std::vector<char> buffer(70000);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (m_stop) {
        return;
      }
    }
    sockaddr_in peer{};
    socklen_t peer_length = sizeof peer;
    const ssize_t size =
        ::recvfrom(m_fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&peer), &peer_length);
    if (size < 0) {
      continue;
    }
    const std::string datagram(buffer.data(), static_cast<std::size_t>(size));
    std::string reply;
    bool answer = false;
    bool twice = false;
    std::chrono::milliseconds late{0};
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (datagram != "get_status=2") {
        m_commands.push_back(datagram);
      } else {
        ++m_status_requests;
        answer = !m_silent && (m_numbered || !m_replies.empty());
        if (answer && m_numbered) {
          reply = R"({"expires":)" + std::to_string(m_status_requests) + "}";
        } else if (answer) {
          reply = m_replies[m_next_reply];
          m_next_reply = (m_next_reply + 1 < m_replies.size()) ? m_next_reply + 1 : m_next_reply;
        }
        if (answer && m_late > 0) {
          --m_late;
          late = m_late_delay;
        }
        if (answer && m_twice > 0) {
          --m_twice;
          twice = true;
        }
      }
      m_changed.notify_all();
    }
    if (!answer) {
      continue;
    }
    const long number = static_cast<long>(StatusRequests());
    if (late.count() > 0) {
      std::lock_guard<std::mutex> lock(m_lock);
      m_late_senders.emplace_back([this, reply, peer, late, number] {
        std::this_thread::sleep_for(late);
        SendTo(reply, peer);
        std::lock_guard<std::mutex> sent(m_lock);
        m_last_number = std::max(m_last_number, number);
      });
      continue;
    }
    SendTo(reply, peer);
    if (twice) {
      SendTo(reply, peer);
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_last_number = std::max(m_last_number, number);
  }
}
