#include "syslog_receiver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kavo::libs::core::testing {

namespace {

sockaddr_un address_of(const char* _path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, _path, sizeof(address.sun_path) - 1);
  return address;
}

// A socket file nobody reads from is the leftover of an earlier run.
bool someone_listens(const char* _path) {
  const int probe = socket(AF_UNIX, SOCK_DGRAM, 0);
  const auto address = address_of(_path);
  const bool live = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  close(probe);
  return live;
}

}  // namespace

syslog_receiver::syslog_receiver() {
  struct stat status {};
  if (lstat(path, &status) == 0) {
    if (!S_ISSOCK(status.st_mode) || someone_listens(path)) {
      return;
    }
    unlink(path);
  }
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const auto address = address_of(path);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      pipe2(m_stop_pipe, O_CLOEXEC) != 0) {
    close(fd);
    return;
  }
  chmod(path, 0666);
  m_fd = fd;
  m_reader = std::thread([this] { read_loop(); });
}

syslog_receiver::~syslog_receiver() {
  if (m_fd < 0) {
    return;
  }
  const char stop = 0;
  (void)write(m_stop_pipe[1], &stop, 1);
  m_reader.join();
  close(m_fd);
  close(m_stop_pipe[0]);
  close(m_stop_pipe[1]);
  unlink(path);
}

void syslog_receiver::read_loop() {
  std::vector<char> buffer(65536);
  while (true) {
    pollfd waits[2] = {{m_fd, POLLIN, 0}, {m_stop_pipe[0], POLLIN, 0}};
    if (poll(waits, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (waits[1].revents != 0) {
      return;
    }
    const auto size = recv(m_fd, buffer.data(), buffer.size(), 0);
    if (size <= 0) {
      continue;
    }
    auto parsed = parse(std::string(buffer.data(), static_cast<std::size_t>(size)));
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_records.push_back(std::move(parsed));
    }
    m_arrived.notify_all();
  }
}

syslog_receiver::record syslog_receiver::parse(const std::string& _datagram) {
  // glibc sends "<PRI>Mmm dd hh:mm:ss IDENT: MESSAGE".
  record out;
  const auto close_bracket = _datagram.find('>');
  if (_datagram.empty() || _datagram[0] != '<' || close_bracket == std::string::npos) {
    out.message = _datagram;
    return out;
  }
  out.priority = std::atoi(_datagram.substr(1, close_bracket - 1).c_str());
  const auto after_time = close_bracket + 1 + 16;  // "Mmm dd hh:mm:ss "
  const auto colon = after_time > _datagram.size() ? std::string::npos : _datagram.find(": ", after_time);
  if (colon == std::string::npos) {
    out.message = _datagram.substr(close_bracket + 1);
    return out;
  }
  out.ident = _datagram.substr(after_time, colon - after_time);
  out.message = _datagram.substr(colon + 2);
  return out;
}

std::vector<syslog_receiver::record> syslog_receiver::drain() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<record> records(m_records.begin(), m_records.end());
  m_records.clear();
  return records;
}

bool syslog_receiver::wait_for(const std::function<bool(const record&)>& _match, std::vector<record>& _seen,
                               std::chrono::milliseconds _timeout) {
  const auto deadline = std::chrono::steady_clock::now() + _timeout;
  std::unique_lock<std::mutex> lock(m_mutex);
  while (available()) {
    while (!m_records.empty()) {
      _seen.push_back(std::move(m_records.front()));
      m_records.pop_front();
      if (_match(_seen.back())) {
        return true;
      }
    }
    if (m_arrived.wait_until(lock, deadline) == std::cv_status::timeout && m_records.empty()) {
      return false;
    }
  }
  return false;
}

}  // namespace kavo::libs::core::testing
