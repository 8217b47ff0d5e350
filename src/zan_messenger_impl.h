#pragma once

#include "core/logger.h"
#include "core/message_stream.h"
#include "core/zmq/socket.h"
#include "zan_messenger.h"

namespace kavo::svel {

class zan_messenger_impl : public zan_messenger {
 public:
  // Subscribes to "raw_msg" and "param_p" at once.
  zan_messenger_impl(libs::core::message_stream& _system_notifications_stream,
                     libs::core::zmq::socket& _binary_output_socket, const libs::core::component_logger& _logger);

  connection do_on_receive_nbr_multicast_report(const receive_nbr_multicast_report_signal::slot_type& _slot) override;
  connection do_on_receive_nbrs_parameter(const receive_nbrs_parameter_signal::slot_type& _slot) override;
  bool send_nbrs_param_request(boost::string_view _mac6_of_anchor) override;
  bool send_nbr_multicast_request(const std::set<uint16_t>& _ids_of_responders,
                                  boost::string_view _mac6_of_multicaster) override;

 private:
  // "#zan " + frame code, sequence number, payload length, payload, destination.
  std::string make_command(const std::string& _payload_hex, std::size_t _payload_length,
                           boost::string_view _mac6_of_destination);
  bool send_message(boost::string_view _message);
  void on_raw_msg(boost::string_view _body);
  void on_param_p(boost::string_view _body);

  const libs::core::component_logger& m_logger;
  libs::core::message_stream& m_system_notifications_stream;
  libs::core::zmq::socket& m_binary_output_socket;
  uint8_t m_sequence_number = 0;
  bool m_binary_output_queue_overflow_flag = false;
  receive_nbr_multicast_report_signal m_receive_nbr_multicast_report_signal;
  receive_nbrs_parameter_signal m_receive_nbrs_parameter_signal;
  libs::core::message_stream::subscription::ptr m_raw_msg_subscription;
  libs::core::message_stream::subscription::ptr m_param_p_subscription;
};

}  // namespace kavo::svel
