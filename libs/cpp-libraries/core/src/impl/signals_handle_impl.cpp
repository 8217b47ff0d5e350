#include "impl/signals_handle_impl.h"

#include <csignal>
#include <future>

#include <boost/asio/signal_set.hpp>

namespace kavo::libs::core {

signals_handle_impl::signals_handle_impl(core& _core, events_loop& _main_events_loop)
    : m_thread_events_loop(_core.create_events_loop("stop_on_signals")), m_main_events_loop(_main_events_loop) {
  std::promise<void> armed;
  auto armed_result = armed.get_future();
  m_thread = std::thread([this, &armed] {
    boost::asio::signal_set signals(m_thread_events_loop->get_io_context());
    try {
      signals.add(SIGINT);
      signals.add(SIGTERM);
    } catch (...) {
      // Reported to the caller of stop_on_signals; nothing here could catch it.
      armed.set_exception(std::current_exception());
      return;
    }
    signals.async_wait([this](const boost::system::error_code& _error, int /*_signal*/) {
      if (_error) {
        return;
      }
      m_signal_is_received.exchange(true);
      m_main_events_loop.stop();
      m_thread_events_loop->stop();
    });
    armed.set_value();
    m_thread_events_loop->run();
  });
  try {
    armed_result.get();
  } catch (...) {
    m_thread.join();
    throw;
  }
}

signals_handle_impl::~signals_handle_impl() {
  m_thread_events_loop->stop();
  m_thread.join();
  m_thread_events_loop.reset();
}

}  // namespace kavo::libs::core
