#pragma once

#include <curl/curl.h>

#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/thread_pool.hpp>

#include "core/core.h"
#include "core/events_loop.h"
#include "core/http/client.h"
#include "core/logger.h"

namespace kavo::libs::core::http {

// Cookies, DNS cache, TLS sessions and connections shared by every transfer
// of one client, each kind of data under its own mutex.
class shared_curl_data {
 public:
  shared_curl_data();
  shared_curl_data(const shared_curl_data&) = delete;
  shared_curl_data& operator=(const shared_curl_data&) = delete;

  CURLSH* get_ptr() const { return m_data.get(); }

 private:
  struct curl_share_deleter {
    void operator()(CURLSH* _share) const { curl_share_cleanup(_share); }
  };
  static void lock(CURL*, curl_lock_data _data, curl_lock_access, void* _self);
  static void unlock(CURL*, curl_lock_data _data, void* _self);

  std::unique_ptr<CURLSH, curl_share_deleter> m_data;
  std::array<std::mutex, 8> m_mutexes;
};

class client_impl : public client {
 public:
  client_impl(events_loop& _main_events_loop, core& _core, const component_logger& _logger, std::string _address,
              std::chrono::seconds _timeout, const std::vector<method>& _disabled_methods, int _threads);
  ~client_impl() override;

  result perform_request(method _method, boost::string_view _path) override;
  result perform_request(method _method, boost::string_view _path, boost::string_view _body) override;
  handle_ptr perform_async_request(method _method, std::string _path, callback _callback) override;
  handle_ptr perform_async_request(method _method, std::string _path, std::string _body,
                                   callback _callback) override;
  handle_ptr perform_async_request(method _method, std::string _path, std::string _body) override;

 private:
  result perform_request_impl(method _method, boost::string_view _path, boost::string_view _body);
  handle_ptr perform_async_request_impl(method _method, std::string _path, std::string _body);

  events_loop& m_main_events_loop;
  const component_logger& m_logger;
  const std::string m_address;
  const std::chrono::seconds m_timeout;
  const std::set<method> m_disabled_methods;
  shared_curl_data m_shared_curl_data;
  events_loop::ptr m_worker_events_loop;
  events_loop::work::ptr m_worker_events_loop_work;
  std::unique_ptr<boost::asio::thread_pool> m_worker_thread_pool;
};

}  // namespace kavo::libs::core::http
