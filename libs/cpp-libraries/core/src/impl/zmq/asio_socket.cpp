#include "impl/zmq/asio_socket.h"

#include <zmq.h>

#include <exception>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "core/scope_guard.h"
#include "impl/zmq/error.h"

namespace kavo::libs::core::zmq {

namespace {

// The context lives while any socket does and is made anew after that.
std::shared_ptr<void> shared_context() {
  static std::mutex mutex;
  static std::weak_ptr<void> current;
  std::lock_guard<std::mutex> lock(mutex);
  auto context = current.lock();
  if (!context) {
    void* raw = zmq_ctx_new();
    if (raw == nullptr) {
      throw boost::system::system_error(last_error());
    }
    context = std::shared_ptr<void>(raw, [](void* _context) { zmq_ctx_term(_context); });
    current = context;
  }
  return context;
}

void throw_last_error() {
  throw boost::system::system_error(last_error());
}

}  // namespace

struct asio_socket::state : std::enable_shared_from_this<asio_socket::state> {
  state(boost::asio::io_context& _io_context, std::shared_ptr<void> _context, void* _socket)
      : m_io_context(_io_context), m_context(std::move(_context)), m_socket(_socket), m_descriptor(_io_context) {}

  int events() {
    int value = 0;
    std::size_t size = sizeof(value);
    if (zmq_getsockopt(m_socket, ZMQ_EVENTS, &value, &size) != 0) {
      return 0;
    }
    return value;
  }

  // Takes the next frame without blocking. False when none is ready
  // (EAGAIN); true with a frame or with the error that ended the receive.
  bool take_frame(message& _frame, boost::system::error_code& _error, std::size_t& _size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if ((events() & ZMQ_POLLIN) == 0) {
      return false;
    }
    const int size = zmq_msg_recv(_frame.handle(), m_socket, ZMQ_DONTWAIT);
    if (size < 0) {
      const int error_number = zmq_errno();
      if (error_number == EAGAIN) {
        return false;
      }
      _error = boost::system::error_code(error_number, error_category());
      _size = 0;
      return true;
    }
    _error = boost::system::error_code();
    _size = static_cast<std::size_t>(size);
    return true;
  }

  // Completes the pending receive if a frame is ready, else waits for the
  // descriptor. Runs on the loop thread only.
  void try_receive() {
    if (!m_handler || m_socket == nullptr) {
      return;
    }
    message frame;
    boost::system::error_code error;
    std::size_t size = 0;
    if (!take_frame(frame, error, size)) {
      wait();
      return;
    }
    complete(error, std::move(frame), size);
  }

  void complete(const boost::system::error_code& _error, message&& _frame, std::size_t _size) {
    auto handler = std::move(m_handler);
    m_handler = nullptr;
    boost::asio::post(m_io_context, [weak = weak_from_this(), handler = std::move(handler), _error,
                                     frame = std::move(_frame), _size]() mutable {
      deliver(weak.lock(), std::move(handler), _error, std::move(frame), _size);
    });
  }

  // Runs a completion and, while its handler re-arms at once and frames are
  // ready, the following ones too: a burst costs one posted handler per
  // batch instead of two per frame. Bounded, so timers and other sockets
  // still get their turn.
  static void deliver(const std::shared_ptr<state>& _self, receive_handler _handler,
                      boost::system::error_code _error, message _frame, std::size_t _size) {
    constexpr int batch = 64;
    if (!_self) {
      _handler(_error, _frame, _size);
      return;
    }
    for (int delivered = 0;; ++delivered) {
      {
        _self->m_in_completion = true;
        // Also on a throwing handler: a receive it re-armed must not be lost.
        const int exceptions_before = std::uncaught_exceptions();
        const auto rearm = execute_on_scope_exit([&_self, exceptions_before] {
          _self->m_in_completion = false;
          if (std::uncaught_exceptions() > exceptions_before && _self->m_handler) {
            _self->post_try_receive();
          }
        });
        _handler(_error, _frame, _size);
      }
      if (!_self->m_handler || _self->m_socket == nullptr) {
        return;
      }
      if (delivered + 1 == batch) {
        _self->post_try_receive();
        return;
      }
      message next;
      if (!_self->take_frame(next, _error, _size)) {
        _self->wait();
        return;
      }
      _frame = std::move(next);
      _handler = std::move(_self->m_handler);
      _self->m_handler = nullptr;
    }
  }

  void post_try_receive() {
    boost::asio::post(m_io_context, [weak = weak_from_this()] {
      if (const auto self = weak.lock()) {
        self->try_receive();
      }
    });
  }

  void wait() {
    if (m_waiting) {
      return;
    }
    m_waiting = true;
    m_descriptor.async_wait(boost::asio::posix::descriptor_base::wait_read,
                            [weak = weak_from_this()](const boost::system::error_code& _error) {
                              const auto self = weak.lock();
                              if (!self) {
                                return;
                              }
                              self->m_waiting = false;
                              if (!_error) {
                                self->try_receive();
                              }
                            });
  }

  boost::asio::io_context& m_io_context;
  std::shared_ptr<void> m_context;
  void* m_socket;
  boost::asio::posix::stream_descriptor m_descriptor;
  std::mutex m_mutex;
  receive_handler m_handler;
  bool m_waiting = false;
  // Inside deliver(): a handler re-armed there is served by its loop.
  bool m_in_completion = false;
};

asio_socket::asio_socket(boost::asio::io_context& _io_context, int _zmq_type) {
  auto context = shared_context();
  void* socket = zmq_socket(context.get(), _zmq_type);
  if (socket == nullptr) {
    throw_last_error();
  }
  const int linger = 0;
  zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof(linger));
  m_state = std::make_shared<state>(_io_context, std::move(context), socket);

  int fd = -1;
  std::size_t size = sizeof(fd);
  if (zmq_getsockopt(socket, ZMQ_FD, &fd, &size) != 0) {
    const auto error = last_error();
    zmq_close(socket);
    m_state->m_socket = nullptr;
    throw boost::system::system_error(error);
  }
  m_state->m_descriptor.assign(fd);
}

asio_socket::~asio_socket() {
  cancel();
  // The descriptor belongs to ZeroMQ: leave the reactor without closing it,
  // and only then close the socket that owns it.
  boost::system::error_code ignored;
  m_state->m_descriptor.cancel(ignored);
  m_state->m_descriptor.release();
  if (m_state->m_socket != nullptr) {
    zmq_close(m_state->m_socket);
    m_state->m_socket = nullptr;
  }
}

void asio_socket::connect(const std::string& _address) {
  // Queue frames only for a peer that is really there: without this a PUSH
  // socket keeps a thousand commands for a gateway that is down and sends
  // them, stale, when it comes back, and try_send would not report it.
  const int immediate = 1;
  set_option(ZMQ_IMMEDIATE, &immediate, sizeof(immediate));
  if (zmq_connect(m_state->m_socket, _address.c_str()) != 0) {
    throw_last_error();
  }
}

void asio_socket::bind(const std::string& _address) {
  if (zmq_bind(m_state->m_socket, _address.c_str()) != 0) {
    throw_last_error();
  }
}

void asio_socket::set_option(int _option, const void* _value, std::size_t _size) {
  std::lock_guard<std::mutex> lock(m_state->m_mutex);
  if (zmq_setsockopt(m_state->m_socket, _option, _value, _size) != 0) {
    throw_last_error();
  }
}

void asio_socket::async_receive(receive_handler _handler) {
  m_state->m_handler = std::move(_handler);
  if (!m_state->m_in_completion) {
    // Checked now rather than on the next descriptor edge: a frame may be
    // queued already, and then no edge would come.
    m_state->post_try_receive();
  }
}

void asio_socket::cancel() {
  if (m_state->m_handler) {
    m_state->complete(boost::asio::error::operation_aborted, message(), 0);
  }
}

bool asio_socket::try_send(message& _message, int _flags) {
  int result = 0;
  {
    std::lock_guard<std::mutex> lock(m_state->m_mutex);
    result = zmq_msg_send(_message.handle(), m_state->m_socket, _flags | ZMQ_DONTWAIT);
  }
  const int error = result < 0 ? zmq_errno() : 0;
  // The send may have consumed the descriptor's edge for a pending receive.
  if (m_state->m_handler) {
    m_state->try_receive();
  }
  if (result >= 0) {
    return true;
  }
  if (error == EAGAIN) {
    return false;
  }
  throw boost::system::system_error(boost::system::error_code(error, error_category()));
}

void asio_socket::send(message& _message, int _flags) {
  int result = 0;
  {
    std::lock_guard<std::mutex> lock(m_state->m_mutex);
    result = zmq_msg_send(_message.handle(), m_state->m_socket, _flags);
  }
  const auto error = result < 0 ? last_error() : boost::system::error_code();
  if (m_state->m_handler) {
    m_state->try_receive();
  }
  if (error) {
    throw boost::system::system_error(error);
  }
}

message asio_socket::receive_more() {
  message frame;
  int result = 0;
  {
    std::lock_guard<std::mutex> lock(m_state->m_mutex);
    result = zmq_msg_recv(frame.handle(), m_state->m_socket, 0);
  }
  if (result < 0) {
    throw_last_error();
  }
  return frame;
}

}  // namespace kavo::libs::core::zmq
