#pragma once

#include <string>

#include "impl/message_stream_zmq_raw.h"

namespace kavo::libs::core {

// Notifications of the form "#<topic>...{json}": a topic that begins with a
// letter is looked up on the channel "#<topic>", and subscribers receive
// the JSON document from its first "{".
class message_stream_zmq : public message_stream {
 public:
  message_stream_zmq(boost::asio::io_context& _io_context, const component_logger& _logger,
                     const std::string& _address);

  subscription::ptr subscribe(boost::string_view _topic, callback _callback) override;

 private:
  message_stream_zmq_raw m_stream_zmq_raw;
};

}  // namespace kavo::libs::core
