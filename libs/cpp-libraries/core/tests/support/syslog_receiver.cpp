#include "syslog_receiver.h"

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
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return;
  }
  chmod(path, 0666);
  m_fd = fd;
}

syslog_receiver::~syslog_receiver() {
  if (m_fd >= 0) {
    close(m_fd);
    unlink(path);
  }
}

bool syslog_receiver::read_one(int _timeout_ms, record& _out) {
  pollfd wait{m_fd, POLLIN, 0};
  if (poll(&wait, 1, _timeout_ms) <= 0) {
    return false;
  }
  char buffer[65536];
  const auto size = recv(m_fd, buffer, sizeof(buffer), 0);
  if (size <= 0) {
    return false;
  }
  // glibc sends "<PRI>Mmm dd hh:mm:ss IDENT: MESSAGE".
  const std::string text(buffer, static_cast<std::size_t>(size));
  _out = record{};
  const auto close_bracket = text.find('>');
  if (text.empty() || text[0] != '<' || close_bracket == std::string::npos) {
    _out.message = text;
    return true;
  }
  _out.priority = std::stoi(text.substr(1, close_bracket - 1));
  const auto after_time = close_bracket + 1 + 16;  // "Mmm dd hh:mm:ss "
  const auto colon = text.find(": ", after_time);
  if (after_time > text.size() || colon == std::string::npos) {
    _out.message = text.substr(close_bracket + 1);
    return true;
  }
  _out.ident = text.substr(after_time, colon - after_time);
  _out.message = text.substr(colon + 2);
  return true;
}

std::vector<syslog_receiver::record> syslog_receiver::drain() {
  std::vector<record> records;
  record one;
  while (available() && read_one(0, one)) {
    records.push_back(one);
  }
  return records;
}

bool syslog_receiver::wait_for(const std::function<bool(const record&)>& _match, std::vector<record>& _seen,
                               std::chrono::milliseconds _timeout) {
  const auto deadline = std::chrono::steady_clock::now() + _timeout;
  record one;
  while (available()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0 || !read_one(static_cast<int>(left.count()), one)) {
      return false;
    }
    _seen.push_back(one);
    if (_match(one)) {
      return true;
    }
  }
  return false;
}

}  // namespace kavo::libs::core::testing
