#include "core/pid_file.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "core/exception.h"

namespace kavo::libs::core::detail {

void check_pid(const std::string& _pid_file) {
  std::ifstream file(_pid_file);
  if (!file.is_open()) {
    return;
  }
  std::int32_t pid = 0;
  if (!(file >> pid)) {
    pid = 0;
  }
  file.close();
  // kill() reads zero and negative pids as process groups (-1: every process
  // we may signal), which would make a garbage file look like a live instance.
  if (pid <= 0) {
    return;
  }
  if (kill(pid, 0) == 0) {
    throw exception("Process is running", CORE_LOCATION);
  }
  const int error = errno;
  if (error == ESRCH) {
    return;  // a leftover of an instance that is gone
  }
  throw exception(std::string("write_pid: kill(): ") + std::strerror(error), CORE_LOCATION);
}

void write_pid(const std::string& _pid_file) {
  std::ofstream file(_pid_file, std::ios::out | std::ios::trunc);
  if (!file.is_open()) {
    throw exception("Error opening pid-file!", CORE_LOCATION);
  }
  file << getpid();
  file.close();
  // A full disk must not pass for a written pid file.
  if (file.fail()) {
    throw exception("Error writing pid-file!", CORE_LOCATION);
  }
}

}  // namespace kavo::libs::core::detail
