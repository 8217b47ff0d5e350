#include "impl/zmq/error.h"

#include <zmq.h>

#include <string>

namespace kavo::libs::core::zmq {

namespace {
class zmq_category : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "zmq"; }
  std::string message(int _value) const override { return zmq_strerror(_value); }
};
}  // namespace

const boost::system::error_category& error_category() {
  static const zmq_category category;
  return category;
}

boost::system::error_code last_error() {
  return boost::system::error_code(zmq_errno(), error_category());
}

}  // namespace kavo::libs::core::zmq
