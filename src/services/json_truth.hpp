#pragma once
// Python's truth value of a JSON value: how settings flags and peers' optional values are read
// (null, false, zero, "" and empty containers are false).
#include <boost/json/value.hpp>

namespace corvane {

inline bool truthy(const boost::json::value& v) {
  switch (v.kind()) {
    case boost::json::kind::null: return false;
    case boost::json::kind::bool_: return v.get_bool();
    case boost::json::kind::int64: return v.get_int64() != 0;
    case boost::json::kind::uint64: return v.get_uint64() != 0;
    case boost::json::kind::double_: return v.get_double() != 0.0;
    case boost::json::kind::string: return !v.get_string().empty();
    case boost::json::kind::array: return !v.get_array().empty();
    case boost::json::kind::object: return !v.get_object().empty();
  }
  return false;
}

}  // namespace corvane
