#pragma once

#include <functional>
#include <memory>
#include <utility>

namespace kavo::libs::core {

// One asynchronous operation. The caller cancels it by dropping every
// pointer to the handle: a result that arrives afterwards is discarded.
template <typename... T>
class async_operation_handle {
 public:
  using callback = std::function<void(T...)>;
  using void_callback = std::function<void()>;
  using ptr = std::shared_ptr<async_operation_handle>;

  virtual ~async_operation_handle() = default;
  // True once the result has been handed over (the callback may still be pending).
  virtual bool is_complete() const = 0;
  // Runs the operation anew; one in flight is not cancelled.
  virtual void restart() = 0;

  void set_callback(callback _callback) { m_callback = std::move(_callback); }
  void set_callback(void_callback _callback) {
    m_callback = [inner = std::move(_callback)](T...) { inner(); };
  }
  const callback& get_callback() const { return m_callback; }

 protected:
  callback m_callback;
};

}  // namespace kavo::libs::core
