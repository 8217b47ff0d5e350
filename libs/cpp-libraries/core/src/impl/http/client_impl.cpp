#include "impl/http/client_impl.h"

#include <stdexcept>

#include <boost/asio/post.hpp>

#include "core/exception.h"
#include "core/impl/async_operation_handle_impl.h"
#include "core/scope_guard.h"
#include "generated/version.h"

namespace kavo::libs::core::http {

namespace {

constexpr long connect_timeout_seconds = 10;

void global_init_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::size_t append_to_buffer(char* _data, std::size_t _size, std::size_t _count, void* _buffer) {
  static_cast<std::string*>(_buffer)->append(_data, _size * _count);
  return _size * _count;
}

}  // namespace

shared_curl_data::shared_curl_data() {
  global_init_once();
  m_data.reset(curl_share_init());
  CORE_CHECK(m_data != nullptr);
  curl_share_setopt(m_data.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  curl_share_setopt(m_data.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(m_data.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  curl_share_setopt(m_data.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
  curl_share_setopt(m_data.get(), CURLSHOPT_USERDATA, this);
  curl_share_setopt(m_data.get(), CURLSHOPT_LOCKFUNC, &shared_curl_data::lock);
  curl_share_setopt(m_data.get(), CURLSHOPT_UNLOCKFUNC, &shared_curl_data::unlock);
}

void shared_curl_data::lock(CURL*, curl_lock_data _data, curl_lock_access, void* _self) {
  static_cast<shared_curl_data*>(_self)->m_mutexes.at(static_cast<std::size_t>(_data)).lock();
}

void shared_curl_data::unlock(CURL*, curl_lock_data _data, void* _self) {
  static_cast<shared_curl_data*>(_self)->m_mutexes.at(static_cast<std::size_t>(_data)).unlock();
}

client_impl::client_impl(events_loop& _main_events_loop, core& _core, const component_logger& _logger,
                         std::string _address, std::chrono::seconds _timeout,
                         const std::vector<method>& _disabled_methods, int _threads)
    : m_main_events_loop(_main_events_loop),
      m_logger(_logger),
      m_address(std::move(_address)),
      m_timeout(_timeout),
      m_disabled_methods(_disabled_methods.begin(), _disabled_methods.end()),
      m_worker_events_loop(_core.create_events_loop("http_client::worker")),
      m_worker_events_loop_work(m_worker_events_loop->create_work()) {
  // At least one worker, or asynchronous requests would never run.
  const int threads = _threads > 0 ? _threads : 1;
  m_worker_thread_pool = std::make_unique<boost::asio::thread_pool>(static_cast<std::size_t>(threads));
  for (int i = 0; i < threads; ++i) {
    // A job that throws is logged and the worker goes on.
    boost::asio::post(*m_worker_thread_pool,
                      [loop = m_worker_events_loop.get()] { loop->run_catch_exceptions(CORE_LOCATION); });
  }
}

client_impl::~client_impl() {
  m_worker_events_loop_work.reset();
  m_worker_events_loop->stop();
  m_worker_thread_pool->join();
  m_worker_thread_pool.reset();
  m_worker_events_loop.reset();
}

result client_impl::perform_request(method _method, boost::string_view _path) {
  return perform_request(_method, _path, boost::string_view());
}

result client_impl::perform_request(method _method, boost::string_view _path, boost::string_view _body) {
  return perform_request_impl(_method, _path, _body);
}

result client_impl::perform_request_impl(method _method, boost::string_view _path, boost::string_view _body) {
  CURL* curl_handle = curl_easy_init();
  CORE_CHECK(curl_handle != NULL);
  const auto cleanup_handle = execute_on_scope_exit([curl_handle] { curl_easy_cleanup(curl_handle); });
  curl_slist* headers = nullptr;
  const auto cleanup_headers = execute_on_scope_exit([&headers] { curl_slist_free_all(headers); });

  if (!_body.empty()) {
    headers = curl_slist_append(headers, "content-type: application/json");
    curl_easy_setopt(curl_handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(_body.size()));
    curl_easy_setopt(curl_handle, CURLOPT_POSTFIELDS, _body.data());
  }
  const std::string method_word = to_string(_method);
  const std::string user_agent(::constants::project_name);
  const std::string url = m_address + std::string(_path);
  std::string response;

  curl_easy_setopt(curl_handle, CURLOPT_USERAGENT, user_agent.c_str());
  curl_easy_setopt(curl_handle, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl_handle, CURLOPT_CUSTOMREQUEST, method_word.c_str());
  curl_easy_setopt(curl_handle, CURLOPT_WRITEFUNCTION, &append_to_buffer);
  curl_easy_setopt(curl_handle, CURLOPT_WRITEDATA, &response);
  curl_easy_setopt(curl_handle, CURLOPT_TIMEOUT, static_cast<long>(m_timeout.count()));
  curl_easy_setopt(curl_handle, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
  curl_easy_setopt(curl_handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl_handle, CURLOPT_SHARE, m_shared_curl_data.get_ptr());
  curl_easy_setopt(curl_handle, CURLOPT_URL, url.c_str());
  // Time limits by signal are unusable with several threads.
  curl_easy_setopt(curl_handle, CURLOPT_NOSIGNAL, 1L);

  if (m_disabled_methods.count(_method) != 0) {
    return result(std::string(), 200);
  }
  const CURLcode code = curl_easy_perform(curl_handle);
  if (code != CURLE_OK) {
    return result(std::string("curl_easy_perform failed:") + curl_easy_strerror(code));
  }
  long status = 200;
  if (curl_easy_getinfo(curl_handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
    status = 200;
  }
  return result(std::move(response), static_cast<int>(status));
}

client::handle_ptr client_impl::perform_async_request(method _method, std::string _path, callback _callback) {
  return perform_async_request(_method, std::move(_path), std::string(), std::move(_callback));
}

client::handle_ptr client_impl::perform_async_request(method _method, std::string _path, std::string _body,
                                                      callback _callback) {
  auto handle = perform_async_request_impl(_method, std::move(_path), std::move(_body));
  // The completion is posted to this loop, so it cannot run before we return.
  handle->set_callback(std::move(_callback));
  return handle;
}

client::handle_ptr client_impl::perform_async_request(method _method, std::string _path, std::string _body) {
  return perform_async_request_impl(_method, std::move(_path), std::move(_body));
}

client::handle_ptr client_impl::perform_async_request_impl(method _method, std::string _path, std::string _body) {
  using handle_impl = async_operation_handle_impl<result>;
  auto path = std::make_shared<const std::string>(std::move(_path));
  auto body = std::make_shared<const std::string>(std::move(_body));
  auto handle = handle_impl::create(
      m_main_events_loop,
      [this, _method, path, body](const handle_impl::ptr&, std::weak_ptr<handle_impl> _weak_handle) {
        m_worker_events_loop->post(
            [this, _method, path, body, _weak_handle] {
              if (_weak_handle.expired()) {
                return;  // dropped before it began: nothing is sent
              }
              auto outcome = [&] {
                try {
                  return perform_request_impl(_method, *path, *body);
                } catch (const std::exception& error) {
                  // No caller on this thread could catch it; report it as a failed request.
                  return result(std::string("request failed: ") + error.what());
                }
              }();
              // The destructor stops the workers' loop first: a client being destroyed delivers nothing.
              if (const auto handle = _weak_handle.lock(); handle && !m_worker_events_loop->is_stopped()) {
                handle->return_result(std::move(outcome));
              }
            },
            CORE_LOCATION);
      });
  handle->start();
  return handle;
}

}  // namespace kavo::libs::core::http
