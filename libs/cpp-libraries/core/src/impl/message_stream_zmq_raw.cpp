#include "impl/message_stream_zmq_raw.h"

#include <zmq.h>

#include <boost/asio/error.hpp>

namespace kavo::libs::core {

namespace {

class subscription_impl : public message_stream::subscription {
 public:
  explicit subscription_impl(std::shared_ptr<message_stream::callback> _callback) : m_callback(std::move(_callback)) {}

 private:
  std::shared_ptr<message_stream::callback> m_callback;
};

}  // namespace

message_stream_zmq_raw::message_stream_zmq_raw(boost::asio::io_context& _io_context, const component_logger& _logger,
                                               const std::string& _address)
    : m_callbacks(std::make_shared<callbacks_map>()), m_socket(_io_context, ZMQ_SUB), m_logger(_logger) {
  m_socket.connect(_address);
  setup_receive();
}

message_stream_zmq_raw::~message_stream_zmq_raw() {
  // The queued completion (operation aborted) finds the map gone.
  m_socket.cancel();
  m_callbacks.reset();
}

message_stream::subscription::ptr message_stream_zmq_raw::subscribe(boost::string_view _topic, callback _callback) {
  const auto [position, inserted] = m_callbacks->emplace(std::string(_topic), callbacks_vector());
  if (inserted) {
    // Topics stay subscribed on the socket for the stream's whole life.
    m_socket.set_option(ZMQ_SUBSCRIBE, _topic.data(), _topic.size());
  }
  auto owned = std::make_shared<callback>(std::move(_callback));
  position->second.push_back(owned);
  return std::make_unique<subscription_impl>(std::move(owned));
}

void message_stream_zmq_raw::setup_receive() {
  m_socket.async_receive([weak_callbacks = std::weak_ptr<callbacks_map>(m_callbacks), &logger = m_logger, this](
                             const boost::system::error_code& _error, zmq::message& _frame, std::size_t) {
    if (_error) {
      if (_error != boost::asio::error::operation_aborted) {
        logger.log_error(_error, CORE_LOCATION);
      }
      return;
    }
    const auto callbacks = weak_callbacks.lock();
    if (!callbacks) {
      return;
    }
    // Armed first, so a throwing callback does not end the stream.
    setup_receive();
    process_message(*callbacks, _frame.view());
  });
}

void message_stream_zmq_raw::process_message(callbacks_map& _callbacks, boost::string_view _frame) {
  for (auto& [topic, subscribers] : _callbacks) {
    if (!_frame.starts_with(topic)) {
      continue;
    }
    // Only the first matching topic is served. Callbacks may drop their own
    // or others' subscriptions meanwhile; each is locked right before its call.
    for (std::size_t i = 0; i < subscribers.size(); ++i) {
      if (const auto subscriber = subscribers[i].lock()) {
        (*subscriber)(_frame);
      }
    }
    subscribers.erase(std::remove_if(subscribers.begin(), subscribers.end(),
                                     [](const std::weak_ptr<callback>& _weak) { return _weak.expired(); }),
                      subscribers.end());
    return;
  }
}

}  // namespace kavo::libs::core
