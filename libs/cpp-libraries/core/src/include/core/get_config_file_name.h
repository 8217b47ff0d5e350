#pragma once

#include <string>

namespace kavo::libs::core {

// The value of the last "-c" option; throws a usage message when there is none.
std::string get_config_file_name(int _argc, char** _argv);

}  // namespace kavo::libs::core
