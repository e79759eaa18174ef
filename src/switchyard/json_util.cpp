#include "switchyard/common.hpp"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/serializer.hpp>

#include <charconv>
#include <cmath>
#include <chrono>
#include <random>

namespace switchyard {

json::value member_or(const json::object& o, std::string_view key, json::value fallback) {
  if (const json::value* v = o.if_contains(key)) return *v;
  return fallback;
}

json::array string_array(const std::vector<std::string>& items) {
  json::array out;
  out.reserve(items.size());
  for (const auto& item : items) out.emplace_back(item);
  return out;
}

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

// True when the text goes into JSON unchanged between quotes.
bool needs_no_escape(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == '"' || c == '\\') return false;
  return true;
}

// What Boost.JSON's serializer writes, without its per-value set-up: strings that need no
// escape, integers, literals and containers are written here; numbers with a fraction,
// strings to escape and deep nesting are left to the serializer itself.
void write_json(std::string& out, const json::value& v, int depth) {
  switch (v.kind()) {
    case json::kind::null: out += "null"; return;
    case json::kind::bool_: out += v.get_bool() ? "true" : "false"; return;
    case json::kind::int64:
    case json::kind::uint64: {
      char buffer[24];
      auto res = v.is_int64() ? std::to_chars(buffer, buffer + sizeof buffer, v.get_int64())
                              : std::to_chars(buffer, buffer + sizeof buffer, v.get_uint64());
      out.append(buffer, res.ptr);
      return;
    }
    case json::kind::string:
      append_json_string(out, std::string_view(v.get_string()));
      return;
    case json::kind::array:
      if (depth < 32) {
        out += '[';
        bool first = true;
        for (const auto& item : v.get_array()) {
          if (!first) out += ',';
          first = false;
          write_json(out, item, depth + 1);
        }
        out += ']';
        return;
      }
      break;
    case json::kind::object:
      if (depth < 32) {
        out += '{';
        bool first = true;
        for (const auto& kv : v.get_object()) {
          if (!first) out += ',';
          first = false;
          append_json_string(out, std::string_view(kv.key()));
          out += ':';
          write_json(out, kv.value(), depth + 1);
        }
        out += '}';
        return;
      }
      break;
    case json::kind::double_:
      break;
  }
  auto& serializer = reusable_serializer();
  serializer.reset(&v);
  drain(serializer, out);
}

}  // namespace

void append_json(std::string& out, const json::value& v) { write_json(out, v, 0); }

void append_json(std::string& out, const json::object& o) {
  out += '{';
  bool first = true;
  for (const auto& kv : o) {
    if (!first) out += ',';
    first = false;
    append_json_string(out, std::string_view(kv.key()));
    out += ':';
    write_json(out, kv.value(), 1);
  }
  out += '}';
}

void append_json_string(std::string& out, std::string_view s) {
  if (needs_no_escape(s)) {
    out += '"';
    out += s;
    out += '"';
    return;
  }
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

// Builds the value exactly as Boost.JSON's own parser does, except for numbers written with a
// fraction or an exponent. Boost.JSON 1.81 converts some of those one unit in the last place
// off ("9.055385138137417" becomes 9.055385138137416) and reads a zero with an exponent above
// 308 ("0e309") as NaN, so a function's result relayed through the server would reach the
// add-in changed. Such numbers are converted again from their text with std::from_chars,
// which rounds correctly; where it reports the value out of range, Boost.JSON's stays.
struct FrameHandler {
  static constexpr std::size_t max_object_size = json::object::max_size();
  static constexpr std::size_t max_array_size = json::array::max_size();
  static constexpr std::size_t max_key_size = json::string::max_size();
  static constexpr std::size_t max_string_size = json::string::max_size();

  json::value_stack st;
  std::string number;  // the leading parts of a number that arrived in pieces

  FrameHandler(unsigned char* buffer, std::size_t size) : st(json::storage_ptr(), buffer, size) {}

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }
  bool on_object_begin(json::error_code&) { return true; }
  bool on_object_end(std::size_t n, json::error_code&) { st.push_object(n); return true; }
  bool on_array_begin(json::error_code&) { return true; }
  bool on_array_end(std::size_t n, json::error_code&) { st.push_array(n); return true; }
  bool on_key_part(json::string_view s, std::size_t, json::error_code&) { st.push_chars(s); return true; }
  bool on_key(json::string_view s, std::size_t, json::error_code&) { st.push_key(s); return true; }
  bool on_string_part(json::string_view s, std::size_t, json::error_code&) { st.push_chars(s); return true; }
  bool on_string(json::string_view s, std::size_t, json::error_code&) { st.push_string(s); return true; }
  bool on_number_part(json::string_view s, json::error_code&) {
    number.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t i, json::string_view, json::error_code&) {
    number.clear();
    st.push_int64(i);
    return true;
  }
  bool on_uint64(std::uint64_t u, json::string_view, json::error_code&) {
    number.clear();
    st.push_uint64(u);
    return true;
  }
  bool on_double(double d, json::string_view s, json::error_code&) {
    std::string_view text(s.data(), s.size());
    if (!number.empty()) {
      number.append(text);
      text = number;
    }
    double exact = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), exact);
    if (ec == std::errc() && end == text.data() + text.size()) d = exact;
    number.clear();
    st.push_double(d);
    return true;
  }
  bool on_bool(bool b, json::error_code&) { st.push_bool(b); return true; }
  bool on_null(json::error_code&) { st.push_null(); return true; }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }
};

}  // namespace

bool parse_frame(std::string_view text, json::value& out, std::string& error) {
  json::parse_options options;
  options.max_depth = 64;
  unsigned char temp[BOOST_JSON_STACK_BUFFER_SIZE];
  json::basic_parser<FrameHandler> parser(options, temp, sizeof temp);
  // Built in the storage `out` already has, so that handing it over below moves it.
  parser.handler().st.reset(out.storage());
  json::error_code ec;
  std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
  if (!ec && used < text.size()) ec = json::error::extra_data;
  if (ec) {
    error = ec.message();
    return false;
  }
  out = parser.handler().st.release();
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
