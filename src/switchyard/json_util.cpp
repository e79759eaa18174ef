#include "switchyard/common.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/serializer.hpp>

#include <charconv>
#include <cmath>
#include <chrono>
#include <random>

namespace switchyard {

std::string_view get_str(const json::object& o, std::string_view key, std::string_view fallback) {
  auto it = o.find(key);
  if (it == o.end() || !it->value().is_string()) return fallback;
  const auto& s = it->value().get_string();
  return {s.data(), s.size()};
}

bool is_missing(const json::object& o, std::string_view key) {
  auto it = o.find(key);
  if (it == o.end()) return true;
  const auto& v = it->value();
  if (v.is_null()) return true;
  if (v.is_string()) return v.get_string().empty();
  if (v.is_bool()) return !v.get_bool();
  if (v.is_int64()) return v.get_int64() == 0;
  if (v.is_uint64()) return v.get_uint64() == 0;
  if (v.is_double()) return v.get_double() == 0.0;
  if (v.is_array()) return v.get_array().empty();
  return v.get_object().empty();
}

namespace {

std::string py_float(double d) {
  if (d != d) return "nan";
  if (d == std::numeric_limits<double>::infinity()) return "inf";
  if (d == -std::numeric_limits<double>::infinity()) return "-inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d);
  std::string s(buf, res.ptr);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

void py_repr(const json::value& v, std::string& out, bool top) {
  switch (v.kind()) {
    case json::kind::null: out += "None"; break;
    case json::kind::bool_: out += v.get_bool() ? "True" : "False"; break;
    case json::kind::int64: out += std::to_string(v.get_int64()); break;
    case json::kind::uint64: out += std::to_string(v.get_uint64()); break;
    case json::kind::double_: out += py_float(v.get_double()); break;
    case json::kind::string:
      if (top) {
        out.append(v.get_string().data(), v.get_string().size());
      } else {
        out += '\'';
        out.append(v.get_string().data(), v.get_string().size());
        out += '\'';
      }
      break;
    case json::kind::array: {
      out += '[';
      bool first = true;
      for (const auto& item : v.get_array()) {
        if (!first) out += ", ";
        first = false;
        py_repr(item, out, false);
      }
      out += ']';
      break;
    }
    case json::kind::object: {
      out += '{';
      bool first = true;
      for (const auto& kv : v.get_object()) {
        if (!first) out += ", ";
        first = false;
        out += '\'';
        out.append(kv.key().data(), kv.key().size());
        out += "': ";
        py_repr(kv.value(), out, false);
      }
      out += '}';
      break;
    }
  }
}

void append_hex4(std::string& out, unsigned cp) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u";
  out += kHex[(cp >> 12) & 0xF];
  out += kHex[(cp >> 8) & 0xF];
  out += kHex[(cp >> 4) & 0xF];
  out += kHex[cp & 0xF];
}

void ascii_string(std::string_view s, std::string& out) {
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (c < 0x20) append_hex4(out, c);
          else out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // Strings held by boost::json are valid UTF-8.
    unsigned cp;
    std::size_t len;
    if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; len = 2; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; len = 3; }
    else { cp = c & 0x07; len = 4; }
    for (std::size_t k = 1; k < len && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      append_hex4(out, 0xD800 + (cp >> 10));
      append_hex4(out, 0xDC00 + (cp & 0x3FF));
    } else {
      append_hex4(out, cp);
    }
  }
  out += '"';
}

// `python_style`: ", " and ": " separators and Python's float texts, as json.dumps writes them.
void ascii_json(const json::value& v, std::string& out, bool python_style) {
  const char* item_sep = python_style ? ", " : ",";
  const char* key_sep = python_style ? ": " : ":";
  switch (v.kind()) {
    case json::kind::string: ascii_string({v.get_string().data(), v.get_string().size()}, out); break;
    case json::kind::array: {
      out += '[';
      bool first = true;
      for (const auto& item : v.get_array()) {
        if (!first) out += item_sep;
        first = false;
        ascii_json(item, out, python_style);
      }
      out += ']';
      break;
    }
    case json::kind::object: {
      out += '{';
      bool first = true;
      for (const auto& kv : v.get_object()) {
        if (!first) out += item_sep;
        first = false;
        ascii_string({kv.key().data(), kv.key().size()}, out);
        out += key_sep;
        ascii_json(kv.value(), out, python_style);
      }
      out += '}';
      break;
    }
    case json::kind::bool_: out += v.get_bool() ? "true" : "false"; break;
    case json::kind::null: out += "null"; break;
    case json::kind::double_:
      if (python_style) {
        out += py_float(v.get_double());
        break;
      }
      [[fallthrough]];
    default: out += json::serialize(v); break;
  }
}

}  // namespace

std::string py_str(const json::value& v) {
  std::string out;
  py_repr(v, out, true);
  return out;
}

std::string py_member(const json::object& o, std::string_view key) {
  auto it = o.find(key);
  if (it == o.end()) return "None";
  return py_str(it->value());
}

std::string to_json(const json::value& v) { return json::serialize(v); }
std::string to_json(const json::object& o) { return json::serialize(o); }

namespace {

// The thread's serializer: its state stack is kept from one use to the next.
json::serializer& reusable_serializer() {
  thread_local json::serializer serializer;
  return serializer;
}

void drain(json::serializer& serializer, std::string& out) {
  char buffer[4096];
  while (!serializer.done()) out.append(serializer.read(buffer, sizeof buffer));
}

}  // namespace

void append_json(std::string& out, const json::value& v) {
  auto& serializer = reusable_serializer();
  serializer.reset(&v);
  drain(serializer, out);
}

void append_json(std::string& out, const json::object& o) {
  auto& serializer = reusable_serializer();
  serializer.reset(&o);
  drain(serializer, out);
}

void append_json_string(std::string& out, std::string_view s) {
  auto& serializer = reusable_serializer();
  serializer.reset(json::string_view(s.data(), s.size()));
  drain(serializer, out);
}

std::string to_ascii_json(const json::value& v) {
  std::string out;
  ascii_json(v, out, false);
  return out;
}

std::string python_json_dumps(const json::value& v) {
  std::string out;
  ascii_json(v, out, true);
  return out;
}

namespace {

// Boost.JSON 1.81 reads a zero written with an exponent above 308 ("0e309", "0.0E+400") as NaN
// instead of 0, which would then be relayed as the text NaN. JSON cannot spell NaN, so every
// NaN in a parsed value is such a zero. Only texts with a three-digit exponent can hold one.
bool has_long_exponent(std::string_view text) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  for (std::size_t i = text.find_first_of("eE"); i != std::string_view::npos; i = text.find_first_of("eE", i + 1)) {
    if (i == 0 || !(digit(text[i - 1]) || text[i - 1] == '.')) continue;
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (j + 2 < text.size() && digit(text[j]) && digit(text[j + 1]) && digit(text[j + 2])) return true;
  }
  return false;
}

void zero_nans(json::value& v) {
  switch (v.kind()) {
    case json::kind::double_:
      if (std::isnan(v.get_double())) v = 0.0;
      break;
    case json::kind::array:
      for (auto& item : v.get_array()) zero_nans(item);
      break;
    case json::kind::object:
      for (auto& kv : v.get_object()) zero_nans(kv.value());
      break;
    default:
      break;
  }
}

}  // namespace

bool parse_frame(std::string_view text, json::value& out, std::string& error) {
  json::parse_options options;
  options.max_depth = 64;
  json::error_code ec;
  out = json::parse(text, ec, json::storage_ptr(), options);
  if (ec) {
    error = ec.message();
    return false;
  }
  if (has_long_exponent(text)) zero_nans(out);
  return true;
}

std::string new_uuid() {
  thread_local std::mt19937_64 rng{std::random_device{}()};
  std::uint64_t hi = rng(), lo = rng();
  hi = (hi & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;  // version 4
  lo = (lo & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;  // variant 10
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (int i = 15; i >= 0; --i) {
    out += kHex[(hi >> (i * 4)) & 0xF];
    if (i == 8 || i == 4) out += '-';
  }
  out += '-';
  for (int i = 15; i >= 0; --i) {
    out += kHex[(lo >> (i * 4)) & 0xF];
    if (i == 12) out += '-';
  }
  return out;
}

double unix_time() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(now).count();
}

}  // namespace switchyard
