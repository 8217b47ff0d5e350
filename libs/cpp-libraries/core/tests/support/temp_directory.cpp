#include "temp_directory.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
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

std::string read_file(const std::string& _path) {
  std::ifstream file(_path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void write_file(const std::string& _path, const std::string& _content) {
  std::ofstream file(_path, std::ios::binary | std::ios::trunc);
  file << _content;
}

}  // namespace kavo::libs::core::testing
