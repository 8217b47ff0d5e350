#pragma once

#include <boost/system/error_code.hpp>

namespace kavo::libs::core::zmq {

// ZeroMQ's own error numbers (EFSM, ETERM, ...) lie beyond the system's, so
// they get a category that words them with zmq_strerror.
const boost::system::error_category& error_category();
boost::system::error_code last_error();

}  // namespace kavo::libs::core::zmq
