#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace kavo::libs::core {

namespace detail {

class scope_guard {
 public:
  virtual ~scope_guard() = default;
};

template <typename F>
class scope_guard_impl : public scope_guard {
 public:
  explicit scope_guard_impl(F&& _callback) : m_callback(std::move(_callback)) {}
  ~scope_guard_impl() override {
    if (m_should_execute) {
      m_callback();
    }
  }

  scope_guard_impl(const scope_guard_impl&) = delete;
  scope_guard_impl& operator=(const scope_guard_impl&) = delete;

 private:
  bool m_should_execute = true;
  F m_callback;
};

}  // namespace detail

// Holding one keeps the callback pending; it runs once when the guard is
// destroyed, also while an exception unwinds the enclosing block.
using scope_guard = std::unique_ptr<detail::scope_guard>;

template <typename F>
scope_guard execute_on_scope_exit(F&& _callback) {
  using callback_type = std::decay_t<F>;
  return std::make_unique<detail::scope_guard_impl<callback_type>>(callback_type(std::forward<F>(_callback)));
}

}  // namespace kavo::libs::core
