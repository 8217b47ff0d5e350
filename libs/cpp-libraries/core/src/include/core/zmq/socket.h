#pragma once

#include <functional>
#include <memory>

#include "core/zmq/message.h"

namespace kavo::libs::core::zmq {

enum class flags { none = 0, sndmore = 2 };

// A ZeroMQ socket on an event loop: frames arrive by callback on the loop
// thread; sends are made from the loop thread.
class socket {
 public:
  enum class type { push = 0, pull = 1, pub = 2, req = 3, rep = 4 };

  using ptr = std::unique_ptr<socket>;
  using callback = std::function<void(message&)>;

  virtual ~socket() = default;
  // The first call starts receiving; later calls replace the callback.
  virtual void set_receive_callback(callback _callback) = 0;
  // Blocking; errors are thrown as boost::system::system_error.
  virtual void send(message _message) = 0;
  virtual void send(message _message, flags _flags) = 0;
  // Never blocks: false when the frame cannot be queued now (EAGAIN).
  virtual bool try_send(message _message) = 0;
  virtual bool try_send(message _message, flags _flags) = 0;
  // The next frame of the message being received; for use inside the callback.
  virtual message receive_more() = 0;
};

}  // namespace kavo::libs::core::zmq
