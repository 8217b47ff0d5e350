#pragma once

#include <string>

#include <boost/optional.hpp>

namespace kavo::libs::core::http {

// The outcome of one request: a status with the body (as data for 2xx, as
// error otherwise), or only an error text when no response came.
class result {
 public:
  result(std::string _body, int _code);
  explicit result(std::string _error);

  bool ok() const { return m_code && *m_code >= 200 && *m_code <= 299; }
  const boost::optional<int>& status_code() const { return m_code; }
  const boost::optional<std::string>& data() const& { return m_data; }
  boost::optional<std::string> data() && { return std::move(m_data); }
  const boost::optional<std::string>& error() const { return m_error; }

 private:
  boost::optional<int> m_code;
  boost::optional<std::string> m_data;
  boost::optional<std::string> m_error;
};

}  // namespace kavo::libs::core::http
