#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kavo::libs::core::testing {

// Stands in for the system's syslog daemon: a datagram socket at /dev/log,
// made only when no daemon listens there, and removed again by the destructor.
// A thread reads continuously, as a daemon would: a full socket buffer would
// block the writers inside syslog().
class syslog_receiver {
 public:
  struct record {
    int priority = 0;
    std::string ident;  // as sent, "svel" or "svel[1234]"
    std::string message;
  };

  syslog_receiver();
  ~syslog_receiver();
  syslog_receiver(const syslog_receiver&) = delete;
  syslog_receiver& operator=(const syslog_receiver&) = delete;

  // False when a real daemon owns /dev/log; tests then skip.
  bool available() const { return m_fd >= 0; }

  // Everything that arrived so far.
  std::vector<record> drain();
  // Waits for a record matching the predicate; returns every record read
  // meanwhile (the match last), or all of them and false on time-out.
  bool wait_for(const std::function<bool(const record&)>& _match, std::vector<record>& _seen,
                std::chrono::milliseconds _timeout = std::chrono::seconds(10));

  static constexpr const char* path = "/dev/log";

 private:
  void read_loop();
  static record parse(const std::string& _datagram);

  int m_fd = -1;
  int m_stop_pipe[2] = {-1, -1};
  std::mutex m_mutex;
  std::condition_variable m_arrived;
  std::deque<record> m_records;
  std::thread m_reader;
};

}  // namespace kavo::libs::core::testing
