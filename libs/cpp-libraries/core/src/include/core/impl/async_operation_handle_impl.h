#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <tuple>

#include "core/async_operation_handle.h"
#include "core/events_loop.h"

namespace kavo::libs::core {

// The result is produced anywhere (a worker thread, say) and handed to the
// callback on the loop that created the handle.
template <typename... T>
class async_operation_handle_impl : public async_operation_handle<T...>,
                                    public std::enable_shared_from_this<async_operation_handle_impl<T...>> {
  struct badge {};

 public:
  using ptr = std::shared_ptr<async_operation_handle_impl>;
  using start_function = std::function<void(const ptr&, std::weak_ptr<async_operation_handle_impl>)>;
  using typename async_operation_handle<T...>::callback;

  static ptr create(events_loop& _events_loop, start_function _start_function) {
    return std::make_shared<async_operation_handle_impl>(badge{}, _events_loop, std::move(_start_function));
  }

  async_operation_handle_impl(badge, events_loop& _events_loop, start_function _start_function)
      : m_events_loop(_events_loop), m_start_function(std::move(_start_function)) {}

  void start() {
    m_completed = false;
    m_start_function(this->shared_from_this(), this->weak_from_this());
  }

  bool is_complete() const override { return m_completed; }
  void restart() override { start(); }

  // Any thread. The callback runs on the handle's loop, if the handle still
  // exists and has a callback by then.
  void return_result(T... _results) {
    auto shared_results = std::make_shared<std::tuple<T...>>(std::move(_results)...);
    // Marked before the hand-over: set afterwards, the callback could run on
    // the loop and still see the operation as incomplete.
    m_completed = true;
    m_events_loop.post(
        [weak = this->weak_from_this(), shared_results] {
          const auto self = weak.lock();
          if (!self || !self->m_callback) {
            return;
          }
          std::apply([&self](auto&&... _values) { self->m_callback(std::move(_values)...); },
                     std::move(*shared_results));
        },
        CORE_LOCATION);
  }

 private:
  events_loop& m_events_loop;
  std::atomic<bool> m_completed{false};
  start_function m_start_function;
};

}  // namespace kavo::libs::core
