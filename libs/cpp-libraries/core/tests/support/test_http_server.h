#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/optional.hpp>

namespace kavo::libs::core::testing {

// An HTTP/1.1 server on 127.0.0.1 with a port of its own, run on a thread of
// its own. It keeps connections alive, serves any number of them at once and
// records every request it reads, in the order they arrive.
class test_http_server {
 public:
  struct request {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case, as received
    std::string body;

    // The value of the first header of that name (any case), if any.
    boost::optional<std::string> header(const std::string& _name) const;
  };

  struct response {
    int status = 200;
    std::string body;
    // Held back this long after the request has been read (and recorded).
    std::chrono::milliseconds delay{0};
    // Sent as the Location header when not empty.
    std::string location;
  };

  test_http_server();
  ~test_http_server();
  test_http_server(const test_http_server&) = delete;
  test_http_server& operator=(const test_http_server&) = delete;

  unsigned short port() const { return m_port; }
  // "http://127.0.0.1:<port>", no slash at the end.
  std::string address() const;

  // How requests for that exact target are answered from now on. A target
  // with no script gets 404 and "no script for <target>".
  void script(const std::string& _target, response _response);

  std::vector<request> requests() const;
  std::size_t request_count() const;
  // True once at least _count requests have arrived.
  bool wait_for_requests(std::size_t _count, std::chrono::milliseconds _timeout = std::chrono::seconds(10)) const;
  std::size_t accepted_connections() const;

 private:
  class session;

  void accept();
  void record(request _request);
  response answer_for(const std::string& _target) const;

  boost::asio::io_context m_io_context;
  boost::asio::ip::tcp::acceptor m_acceptor;
  unsigned short m_port = 0;

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_arrived;
  std::map<std::string, response> m_scripts;
  std::vector<request> m_requests;
  std::size_t m_accepted_connections = 0;

  std::thread m_thread;
};

// A port on 127.0.0.1 that nothing listens on: a connection is refused at once.
unsigned short refused_port();

}  // namespace kavo::libs::core::testing
