#include "temp_directory.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace kavo::libs::core::testing {

temp_directory::temp_directory(const std::string& _prefix) {
  std::string pattern = "/tmp/" + _prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  }
  m_path = buffer.data();
}

temp_directory::~temp_directory() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

}  // namespace kavo::libs::core::testing
