#pragma once

#include <functional>
#include <memory>

#include <boost/utility/string_view.hpp>

namespace kavo::libs::core {

// Topic subscriptions on a notifications publisher; callbacks run on the loop thread.
class message_stream {
 public:
  // The view is valid only during the call.
  using callback = std::function<void(boost::string_view)>;
  using ptr = std::unique_ptr<message_stream>;

  // Destroying it stops its callback at once.
  class subscription {
   public:
    using ptr = std::unique_ptr<subscription>;
    virtual ~subscription() = default;
  };

  virtual ~message_stream() = default;
  virtual subscription::ptr subscribe(boost::string_view _topic, callback _callback) = 0;
};

}  // namespace kavo::libs::core
