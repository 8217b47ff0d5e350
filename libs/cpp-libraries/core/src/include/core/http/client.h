#pragma once

#include <memory>
#include <string>

#include <boost/utility/string_view.hpp>

#include "core/async_operation_handle.h"
#include "core/http/method.h"
#include "core/http/result.h"

namespace kavo::libs::core::http {

// Requests to one base address; the URL is the base address + the path.
class client {
 public:
  using ptr = std::unique_ptr<client>;
  using callback = async_operation_handle<result>::callback;
  using handle_ptr = async_operation_handle<result>::ptr;

  virtual ~client() = default;
  // Blocks the calling thread for the whole transfer.
  virtual result perform_request(method _method, boost::string_view _path) = 0;
  virtual result perform_request(method _method, boost::string_view _path, boost::string_view _body) = 0;
  // Run on the client's worker threads; the callback runs on the creating loop.
  virtual handle_ptr perform_async_request(method _method, std::string _path, callback _callback) = 0;
  virtual handle_ptr perform_async_request(method _method, std::string _path, std::string _body,
                                           callback _callback) = 0;
  virtual handle_ptr perform_async_request(method _method, std::string _path, std::string _body) = 0;
};

}  // namespace kavo::libs::core::http
