#include "test_http_server.h"

#include <algorithm>
#include <cctype>

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

namespace kavo::libs::core::testing {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

std::string to_lower(std::string _text) {
  std::transform(_text.begin(), _text.end(), _text.begin(),
                 [](unsigned char _character) { return static_cast<char>(std::tolower(_character)); });
  return _text;
}

}  // namespace

boost::optional<std::string> test_http_server::request::header(const std::string& _name) const {
  const auto name = to_lower(_name);
  for (const auto& [key, value] : headers) {
    if (key == name) {
      return value;
    }
  }
  return boost::none;
}

// One connection: requests are read and answered one after another for as
// long as the client keeps the connection.
class test_http_server::session : public std::enable_shared_from_this<session> {
 public:
  session(test_http_server& _server, tcp::socket _socket)
      : m_server(_server), m_socket(std::move(_socket)), m_delay_timer(m_socket.get_executor()) {}

  void read() {
    m_request = {};
    http::async_read(m_socket, m_buffer, m_request,
                     [self = shared_from_this()](const boost::system::error_code& _error, std::size_t) {
                       if (!_error) {
                         self->on_request();
                       }
                     });
  }

 private:
  void on_request() {
    request recorded;
    recorded.method = std::string(m_request.method_string());
    recorded.target = std::string(m_request.target());
    for (const auto& field : m_request) {
      recorded.headers.emplace_back(to_lower(std::string(field.name_string())), std::string(field.value()));
    }
    recorded.body = m_request.body();
    const auto answer = m_server.answer_for(recorded.target);
    // Recorded before the delay, so a test can see a request that is still being answered.
    m_server.record(std::move(recorded));

    m_response = {};
    m_response.version(m_request.version());
    m_response.result(static_cast<unsigned>(answer.status));
    m_response.keep_alive(m_request.keep_alive());
    if (!answer.location.empty()) {
      m_response.set(http::field::location, answer.location);
    }
    m_response.body() = answer.body;
    m_response.prepare_payload();

    if (answer.delay.count() > 0) {
      m_delay_timer.expires_after(answer.delay);
      m_delay_timer.async_wait([self = shared_from_this()](const boost::system::error_code& _error) {
        if (!_error) {
          self->write();
        }
      });
    } else {
      write();
    }
  }

  void write() {
    http::async_write(m_socket, m_response,
                      [self = shared_from_this()](const boost::system::error_code& _error, std::size_t) {
                        if (_error) {
                          return;
                        }
                        if (self->m_response.need_eof()) {
                          boost::system::error_code ignored;
                          self->m_socket.shutdown(tcp::socket::shutdown_send, ignored);
                          return;
                        }
                        self->read();
                      });
  }

  test_http_server& m_server;
  tcp::socket m_socket;
  asio::steady_timer m_delay_timer;
  boost::beast::flat_buffer m_buffer;
  http::request<http::string_body> m_request;
  http::response<http::string_body> m_response;
};

test_http_server::test_http_server() : m_acceptor(m_io_context) {
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
  m_acceptor.open(endpoint.protocol());
  m_acceptor.set_option(tcp::acceptor::reuse_address(true));
  m_acceptor.bind(endpoint);
  m_acceptor.listen();
  m_port = m_acceptor.local_endpoint().port();
  accept();
  m_thread = std::thread([this] { m_io_context.run(); });
}

test_http_server::~test_http_server() {
  // Sessions still pending are destroyed with the context, closing their connections.
  m_io_context.stop();
  m_thread.join();
}

std::string test_http_server::address() const {
  return "http://127.0.0.1:" + std::to_string(m_port);
}

void test_http_server::script(const std::string& _target, response _response) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_scripts[_target] = std::move(_response);
}

std::vector<test_http_server::request> test_http_server::requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

std::size_t test_http_server::request_count() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests.size();
}

bool test_http_server::wait_for_requests(std::size_t _count, std::chrono::milliseconds _timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_arrived.wait_for(lock, _timeout, [&] { return m_requests.size() >= _count; });
}

std::size_t test_http_server::accepted_connections() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_accepted_connections;
}

void test_http_server::accept() {
  m_acceptor.async_accept([this](const boost::system::error_code& _error, tcp::socket _socket) {
    if (_error == asio::error::operation_aborted) {
      return;
    }
    if (!_error) {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_accepted_connections;
      }
      std::make_shared<session>(*this, std::move(_socket))->read();
    }
    accept();
  });
}

void test_http_server::record(request _request) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.push_back(std::move(_request));
  }
  m_arrived.notify_all();
}

unsigned short refused_port() {
  // Bound and closed again without listening: free, and not handed out again soon.
  asio::io_context io_context;
  tcp::acceptor acceptor(io_context);
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
  acceptor.open(endpoint.protocol());
  acceptor.bind(endpoint);
  return acceptor.local_endpoint().port();
}

test_http_server::response test_http_server::answer_for(const std::string& _target) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto found = m_scripts.find(_target);
  if (found != m_scripts.end()) {
    return found->second;
  }
  response missing;
  missing.status = 404;
  missing.body = "no script for " + _target;
  return missing;
}

}  // namespace kavo::libs::core::testing
