#include "core/zmq/message.h"

#include <cstring>
#include <new>

namespace kavo::libs::core::zmq {

message::message() {
  zmq_msg_init(&m_message);
}

message::message(boost::string_view _bytes) : message(_bytes.data(), _bytes.size()) {}

message::message(const void* _data, std::size_t _size) {
  if (zmq_msg_init_size(&m_message, _size) != 0) {
    throw std::bad_alloc();
  }
  if (_size != 0) {
    std::memcpy(zmq_msg_data(&m_message), _data, _size);
  }
}

message::message(message&& _other) noexcept {
  zmq_msg_init(&m_message);
  zmq_msg_move(&m_message, &_other.m_message);
}

message& message::operator=(message&& _other) noexcept {
  if (this != &_other) {
    zmq_msg_move(&m_message, &_other.m_message);
  }
  return *this;
}

message::~message() {
  zmq_msg_close(&m_message);
}

const void* message::data() const {
  return zmq_msg_data(&m_message);
}

std::size_t message::size() const {
  return zmq_msg_size(&m_message);
}

boost::string_view message::view() const {
  return boost::string_view(static_cast<const char*>(data()), size());
}

}  // namespace kavo::libs::core::zmq
