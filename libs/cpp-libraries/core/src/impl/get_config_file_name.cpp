#include "core/get_config_file_name.h"

#include <unistd.h>

#include "core/exception.h"

namespace kavo::libs::core {

std::string get_config_file_name(int _argc, char** _argv) {
  const std::string usage = std::string(_argv[0]) + " -c config_file";
  std::string file_name;
  optind = 0;  // glibc: a full restart, also forgetting a cluster like "-xy" left half-read by the last parse
  int option = 0;
  while ((option = getopt(_argc, _argv, "c:")) != -1) {
    if (option != 'c') {
      throw exception("Usage: " + usage, CORE_LOCATION);
    }
    file_name = optarg;
  }
  if (file_name.empty()) {
    throw exception("The configuration file is not defined! Usage: " + usage, CORE_LOCATION);
  }
  return file_name;
}

}  // namespace kavo::libs::core
