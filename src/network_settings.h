#pragma once

#include <memory>
#include <string>

namespace kavo::svel {

// Which projects have their anchor network in service mode right now.
class network_settings {
 public:
  using ptr = std::unique_ptr<network_settings>;

  network_settings() = default;
  network_settings(const network_settings&) = delete;
  network_settings& operator=(const network_settings&) = delete;
  virtual ~network_settings() = default;

  virtual bool is_in_service_mode(const std::string& _project_uid) const = 0;
};

}  // namespace kavo::svel
