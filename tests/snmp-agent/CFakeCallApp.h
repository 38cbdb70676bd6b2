#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>

// A scripted call application: a UDP server on 127.0.0.1 that records every
// datagram it receives and answers each "get_status=2" with the current reply.
class CFakeCallApp final {
 public:
  // Binds to 'port' (0: any free port) and starts serving.
  explicit CFakeCallApp(uint16_t port = 0);
  ~CFakeCallApp();
  CFakeCallApp(const CFakeCallApp&) = delete;
  CFakeCallApp& operator=(const CFakeCallApp&) = delete;

  uint16_t Port() const { return m_port; }

  // The bytes sent back to each status request from now on.
  void SetReply(const std::string& reply);
  // Answers the next status requests in turn with these replies, the last
  // one again once they are used up.
  void SetReplies(const std::vector<std::string>& replies);
  // Status requests are received but not answered.
  void SetSilent(bool silent);
  // Each answer is {"expires":<n>}, n counting the status requests.
  void SetNumberedReplies();
  // The next 'count' answers are sent 'delay' after their request.
  void AnswerLate(int count, std::chrono::milliseconds delay);
  // The next answer is sent twice.
  void AnswerTwice();
  // The number in the newest numbered answer sent (0 before the first).
  long LastNumberSent();

  // Every datagram received so far that is not a status request, in order.
  std::vector<std::string> Commands();
  std::size_t StatusRequests();

  // Waits until 'count' more status requests than 'since' arrived; false
  // when they did not come within 'limit'.
  bool WaitForStatusRequests(std::size_t since, std::size_t count,
                             std::chrono::seconds limit = std::chrono::seconds(10));
  // Waits until the reply set now has certainly been handled by the agent:
  // it was sent and the agent has asked again afterwards.
  bool WaitReplyHandled();

 private:
  void Serve();
  void SendTo(const std::string& reply, const sockaddr_in& peer);

  int m_fd = -1;
  uint16_t m_port = 0;
  std::thread m_thread;

  std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_stop = false;                  // guarded by m_lock
  bool m_silent = false;                // guarded by m_lock
  std::vector<std::string> m_replies;   // guarded by m_lock
  std::size_t m_next_reply = 0;         // guarded by m_lock
  std::vector<std::string> m_commands;  // guarded by m_lock
  std::size_t m_status_requests = 0;    // guarded by m_lock
  bool m_numbered = false;              // guarded by m_lock
  int m_late = 0;                       // guarded by m_lock
  std::chrono::milliseconds m_late_delay{0};  // guarded by m_lock
  int m_twice = 0;                      // guarded by m_lock
  long m_last_number = 0;               // guarded by m_lock
  std::vector<std::thread> m_late_senders;  // joined at destruction
};
