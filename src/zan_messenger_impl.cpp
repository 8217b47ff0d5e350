#include "zan_messenger_impl.h"

#include <boost/format.hpp>

#include "core/json.h"
#include "utils.h"

namespace kavo::svel {

namespace {

const char* const command_prefix = "#zan ";
constexpr std::size_t max_responders = 255;  // the count travels in one byte

// Big-endian, upper-case hex: _bytes bytes of _value.
void append_hex(std::string& _out, uint64_t _value, int _bytes) {
  static const char digits[] = "0123456789ABCDEF";
  for (int shift = (_bytes - 1) * 8; shift >= 0; shift -= 8) {
    const auto byte = static_cast<unsigned>((_value >> shift) & 0xff);
    _out += digits[byte >> 4];
    _out += digits[byte & 0x0f];
  }
}

}  // namespace

zan_messenger_impl::zan_messenger_impl(libs::core::message_stream& _system_notifications_stream,
                                       libs::core::zmq::socket& _binary_output_socket,
                                       const libs::core::component_logger& _logger)
    : m_logger(_logger),
      m_system_notifications_stream(_system_notifications_stream),
      m_binary_output_socket(_binary_output_socket) {
  m_raw_msg_subscription = m_system_notifications_stream.subscribe(
      "raw_msg", [this](boost::string_view _body) { on_raw_msg(_body); });
  m_param_p_subscription = m_system_notifications_stream.subscribe(
      "param_p", [this](boost::string_view _body) { on_param_p(_body); });
}

zan_messenger::connection zan_messenger_impl::do_on_receive_nbr_multicast_report(
    const receive_nbr_multicast_report_signal::slot_type& _slot) {
  return m_receive_nbr_multicast_report_signal.connect(_slot);
}

zan_messenger::connection zan_messenger_impl::do_on_receive_nbrs_parameter(
    const receive_nbrs_parameter_signal::slot_type& _slot) {
  return m_receive_nbrs_parameter_signal.connect(_slot);
}

std::string zan_messenger_impl::make_command(const std::string& _payload_hex, std::size_t _payload_length,
                                             boost::string_view _mac6_of_destination) {
  std::string command = command_prefix;
  command.reserve(command.size() + 10 + _payload_hex.size() + 16);
  append_hex(command, 0x080E, 2);
  append_hex(command, m_sequence_number++, 1);  // wraps from 255 to 0
  append_hex(command, _payload_length, 2);
  command += _payload_hex;
  command += extend_mac(_mac6_of_destination);
  return command;
}

bool zan_messenger_impl::send_nbr_multicast_request(const std::set<uint16_t>& _ids_of_responders,
                                                    boost::string_view _mac6_of_multicaster) {
  if (_ids_of_responders.empty()) {
    m_logger.debug("Empty _ids_of_responders").location(CORE_LOCATION);
    return false;
  }
  if (_ids_of_responders.size() > max_responders) {
    m_logger.debug("_ids_of_responders too big: %1%").location(CORE_LOCATION) % _ids_of_responders.size();
    return false;
  }
  std::string payload;
  payload.reserve(6 + 4 * _ids_of_responders.size());
  append_hex(payload, 0x0041, 2);
  append_hex(payload, _ids_of_responders.size(), 1);
  for (const uint16_t id : _ids_of_responders) {
    append_hex(payload, id, 2);
  }
  return send_message(make_command(payload, 2 + 1 + 2 * _ids_of_responders.size(), _mac6_of_multicaster));
}

bool zan_messenger_impl::send_nbrs_param_request(boost::string_view _mac6_of_anchor) {
  return send_message(make_command("000E0500", 4, _mac6_of_anchor));
}

bool zan_messenger_impl::send_message(boost::string_view _message) {
  if (m_binary_output_socket.try_send(libs::core::zmq::message(_message))) {
    m_binary_output_queue_overflow_flag = false;
    m_logger.debug("To ZAN: %1%") % _message;
    return true;
  }
  // Logged once per episode: a gateway that is gone would flood the log.
  if (!m_binary_output_queue_overflow_flag) {
    m_logger.debug("The binary output queue is full!");
    m_binary_output_queue_overflow_flag = true;
  }
  return false;
}

void zan_messenger_impl::on_raw_msg(boost::string_view _body) {
  const auto parsed = libs::core::json::try_parse(_body);
  if (!parsed.ok) {
    throw libs::core::exception("parse error: " + parsed.error, CORE_LOCATION);
  }
  libs::core::json::validator validator("raw_msg parse", m_logger, &libs::core::component_logger::debug,
                                        CORE_LOCATION);
  const auto& body = parsed.result;
  const auto cmd = validator.get_string_view(body, "cmd", ".");
  if (!cmd || *cmd != "0042") {
    return;
  }
  const auto mac = validator.get_string_view(body, "mac", ".");
  const auto ts = validator.get_uint64(body, "ts", ".");
  const auto ms = validator.get_uint(body, "ms", ".");
  const auto data = validator.get_string_view(body, "data", ".");
  if (!validator.ok()) {
    return;
  }
  const auto reporter_id = parse_number<unsigned short>(*data);
  const auto multicaster_id = parse_number<unsigned short>(data->substr(std::min<std::size_t>(4, data->size())));
  const auto lqi = parse_number<unsigned char>(data->substr(std::min<std::size_t>(8, data->size())));
  if (!reporter_id || !multicaster_id || !lqi) {
    return;
  }
  multicast_report report;
  report.ts = *ts;
  report.ms = *ms;
  report.mac = to_lower(*mac);
  report.reporter_id = *reporter_id;
  report.multicaster_id = *multicaster_id;
  report.lqi = *lqi;
  m_receive_nbr_multicast_report_signal(report);
}

void zan_messenger_impl::on_param_p(boost::string_view _body) {
  const auto parsed = libs::core::json::try_parse(_body);
  if (!parsed.ok) {
    throw libs::core::exception("parse error: " + parsed.error, CORE_LOCATION);
  }
  libs::core::json::validator validator("param_p parse", m_logger, &libs::core::component_logger::debug,
                                        CORE_LOCATION);
  const auto& body = parsed.result;
  const auto mac = validator.get_string_view(body, "mac", ".");
  const auto plist = validator.get_object(body, "plist", ".");
  const auto ts = validator.get_uint64(body, "ts", ".");
  const auto ms = validator.get_uint(body, "ms", ".");
  if (!validator.ok()) {
    return;
  }
  const Json::Value* nbrs = plist->find("nbrs", "nbrs" + 4);
  if (nbrs == nullptr) {
    return;
  }
  if (!nbrs->isArray()) {
    m_logger.debug("'nbrs' in 'plist' is not an array").location(CORE_LOCATION);
    return;
  }
  std::vector<nbrs_parameter_item> items;
  items.reserve(nbrs->size());
  for (Json::ArrayIndex index = 0; index < nbrs->size(); ++index) {
    const auto context = (boost::format("plist.nbrs[%1%]") % index).str();
    const auto& element = (*nbrs)[index];
    const auto addr = validator.get_string_view(element, "addr", context);
    const auto lqi = validator.get_int(element, "lqi", context);
    const auto e = validator.get_int(element, "e", context);
    if (!validator.ok()) {
      return;  // one bad neighbour spoils the whole table
    }
    const auto node_id = parse_number<unsigned short>(*addr);
    if (!node_id) {
      validator.message((boost::format("Can not parse %1%") % (context + ".addr")).str());
      return;
    }
    items.push_back(nbrs_parameter_item{*node_id, *lqi, *e});
  }
  m_receive_nbrs_parameter_signal(std::string(*mac), items,
                                  libs::core::timestamp(std::chrono::milliseconds(*ts * 1000 + *ms)));
}

}  // namespace kavo::svel
