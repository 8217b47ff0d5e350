#include "impl/zmq/asio_socket.h"

#include <zmq.h>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

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

  // Completes the pending receive if a frame is ready, else waits for the
  // descriptor. Runs on the loop thread only.
  void try_receive() {
    if (!m_handler || m_socket == nullptr) {
      return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if ((events() & ZMQ_POLLIN) == 0) {
      lock.unlock();
      wait();
      return;
    }
    message frame;
    const int size = zmq_msg_recv(frame.handle(), m_socket, ZMQ_DONTWAIT);
    const int error_number = size < 0 ? zmq_errno() : 0;
    lock.unlock();
    if (error_number == EAGAIN) {
      wait();
      return;
    }
    const auto error =
        size < 0 ? boost::system::error_code(error_number, error_category()) : boost::system::error_code();
    complete(error, std::move(frame), size < 0 ? 0 : static_cast<std::size_t>(size));
  }

  void complete(const boost::system::error_code& _error, message&& _frame, std::size_t _size) {
    auto handler = std::move(m_handler);
    m_handler = nullptr;
    boost::asio::post(m_io_context, [handler = std::move(handler), _error, frame = std::move(_frame), _size]() mutable {
      handler(_error, frame, _size);
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
  // Checked now rather than on the next descriptor edge: a frame may be
  // queued already, and then no edge would come.
  boost::asio::post(m_state->m_io_context, [weak = std::weak_ptr<state>(m_state)] {
    if (const auto self = weak.lock()) {
      self->try_receive();
    }
  });
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
