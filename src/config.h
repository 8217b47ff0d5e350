#pragma once

#include <istream>
#include <string>

#include "settings.h"

namespace kavo::svel {

// The service configuration, read once at start-up from one JSON document.
struct config {
  // Reads and checks the whole document; throws on the first problem found.
  explicit config(std::istream& _stream);

  struct {
    std::string pidfile;
    std::string debug_endpoint;
    std::string system_notifications_endpoint;
    std::string binary_output_endpoint;
    struct {
      std::string url;
      int timeout = 0;
    } rest_api_server;
    std::string sqlite_db_file;
  } system;

  struct {
    int port = 0;
    bool authorization = false;
    struct {
      bool enabled = false;
      int upper_threshold = 0;
      int lower_threshold = 0;
    } cpu_throttling;
  } api_service;

  struct {
    bool logger_debug = false;
    bool modify_server_state = true;
    std::string proc_stat_file = "/proc/stat";
  } debug;

  settings global_settings;
};

}  // namespace kavo::svel
