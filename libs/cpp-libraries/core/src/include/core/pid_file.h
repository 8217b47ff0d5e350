#pragma once

#include <string>

namespace kavo::libs::core::detail {

// Throws when the pid file names a process that is still running.
void check_pid(const std::string& _pid_file);
// Writes our pid, no line end; throws when the file cannot be opened.
void write_pid(const std::string& _pid_file);

}  // namespace kavo::libs::core::detail
