#include <fstream>
#include <iostream>

#include "config.h"

// Reads the configuration and reports what is wrong with it. The process
// start-up (logging, pid file, event loop, application) grows here as the
// runtime it needs is built.
int main(int argc, char** argv) {
  try {
    if (argc < 3) {
      std::cerr << "Usage: " << argv[0] << " -c config_file\n";
      return 0;
    }
    std::ifstream stream(argv[2]);
    kavo::svel::config configuration(stream);
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
  }
  return 0;
}
