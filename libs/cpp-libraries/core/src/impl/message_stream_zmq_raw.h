#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "core/logger.h"
#include "core/message_stream.h"
#include "impl/zmq/asio_socket.h"

namespace kavo::libs::core {

// A SUB socket that hands whole frames to the callbacks of the first
// subscribed topic (in byte order) that prefixes the frame.
class message_stream_zmq_raw : public message_stream {
 public:
  // Throws boost::system::system_error when the address cannot be connected.
  message_stream_zmq_raw(boost::asio::io_context& _io_context, const component_logger& _logger,
                         const std::string& _address);
  ~message_stream_zmq_raw() override;

  subscription::ptr subscribe(boost::string_view _topic, callback _callback) override;

 private:
  using callbacks_vector = std::vector<std::weak_ptr<callback>>;
  using callbacks_map = std::map<std::string, callbacks_vector>;

  void setup_receive();
  static void process_message(callbacks_map& _callbacks, boost::string_view _frame);

  std::shared_ptr<callbacks_map> m_callbacks;
  zmq::asio_socket m_socket;
  const component_logger& m_logger;
};

}  // namespace kavo::libs::core
