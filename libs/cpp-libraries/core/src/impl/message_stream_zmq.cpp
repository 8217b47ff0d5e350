#include "impl/message_stream_zmq.h"

#include <cctype>

namespace kavo::libs::core {

message_stream_zmq::message_stream_zmq(boost::asio::io_context& _io_context, const component_logger& _logger,
                                       const std::string& _address)
    : m_stream_zmq_raw(_io_context, _logger, _address) {}

message_stream::subscription::ptr message_stream_zmq::subscribe(boost::string_view _topic, callback _callback) {
  std::string channel(_topic);
  if (!channel.empty() && std::isalpha(static_cast<unsigned char>(channel.front()))) {
    channel.insert(channel.begin(), '#');
  }
  return m_stream_zmq_raw.subscribe(channel, [callback = std::move(_callback)](boost::string_view _frame) {
    const auto json_start = _frame.find('{');
    if (json_start == boost::string_view::npos) {
      return;
    }
    callback(_frame.substr(json_start));
  });
}

}  // namespace kavo::libs::core
