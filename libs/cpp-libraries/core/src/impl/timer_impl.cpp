#include "impl/timer_impl.h"

#include <boost/asio/error.hpp>

namespace kavo::libs::core {

timer_impl::timer_impl(boost::asio::io_context& _io_context, time_point _deadline, callback _callback,
                       const component_logger& _logger)
    : m_timer(_io_context), m_logger(_logger), m_data(std::make_shared<shared_data>()) {
  m_data->m_callback = std::move(_callback);
  reset(_deadline);
}

timer_impl::~timer_impl() {
  m_data.reset();
  m_timer.cancel();
}

void timer_impl::reset(time_point _deadline) {
  stop();
  m_timer.expires_at(_deadline);
  m_time_point = _deadline;
  m_timer.async_wait([&logger = m_logger, _deadline, generation = m_data->m_generation,
                      weak_data = std::weak_ptr<shared_data>(m_data)](const boost::system::error_code& _error) {
    const auto data = weak_data.lock();
    const bool current = data && data->m_generation == generation;
    if (current) {
      data->m_waiting = false;
    }
    if (_error == boost::asio::error::operation_aborted) {
      return;
    }
    if (_error) {
      logger.log_error(_error, CORE_LOCATION);
      return;
    }
    if (current) {
      data->m_callback(_deadline);
    }
  });
  m_data->m_waiting = true;
}

void timer_impl::stop() {
  m_data->m_waiting = false;
  ++m_data->m_generation;
  m_time_point = time_point();
  m_timer.cancel();
}

}  // namespace kavo::libs::core
