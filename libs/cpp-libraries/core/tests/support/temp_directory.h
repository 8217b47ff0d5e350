#pragma once

#include <string>

namespace kavo::libs::core::testing {

// A fresh directory under /tmp, removed with everything in it at the end.
class temp_directory {
 public:
  explicit temp_directory(const std::string& _prefix = "svel-test");
  ~temp_directory();
  temp_directory(const temp_directory&) = delete;
  temp_directory& operator=(const temp_directory&) = delete;

  const std::string& path() const { return m_path; }
  std::string file(const std::string& _name) const { return m_path + "/" + _name; }
  std::string endpoint(const std::string& _name) const { return "ipc://" + file(_name); }

 private:
  std::string m_path;
};

// Whole-file helpers for the files tests put in such a directory.
std::string read_file(const std::string& _path);
void write_file(const std::string& _path, const std::string& _content);

}  // namespace kavo::libs::core::testing
