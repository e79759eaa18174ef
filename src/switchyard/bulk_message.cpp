// The bulk entry: one base64url text carrying a message to dispatch as if a named client had
// sent it.
#include "switchyard/server.hpp"

#include <boost/json/parse.hpp>

namespace switchyard {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// URL unquoting: "%XX" becomes the byte; anything else, "+" included, stays as it is.
std::string percent_decode(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '%' && i + 2 < in.size()) {
      int hi = hex_value(in[i + 1]), lo = hex_value(in[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += in[i];
  }
  return out;
}

int b64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+' || c == '-') return 62;
  if (c == '/' || c == '_') return 63;
  return -1;
}

// Lenient base64 as the usual decoders do it: characters outside the alphabet are skipped, a
// complete padding sequence ends the data, and a dangling single character is an error.
std::string base64url_decode(std::string_view in) {
  std::string out;
  out.reserve(in.size() * 3 / 4);
  std::uint32_t acc = 0;
  int quad_pos = 0;
  int pads = 0;
  std::size_t data_chars = 0;
  for (unsigned char c : in) {
    if (c >= 0x80) throw BulkDecodeError("string argument should contain only ASCII characters");
    if (c == '=') {
      if (quad_pos >= 2 && quad_pos + ++pads >= 4) {
        // A complete padding sequence: emit what the quad's data characters carried.
        if (quad_pos == 2) {
          out += static_cast<char>((acc >> 4) & 0xFF);
        } else {
          out += static_cast<char>((acc >> 10) & 0xFF);
          out += static_cast<char>((acc >> 2) & 0xFF);
        }
        quad_pos = 0;
        break;
      }
      continue;
    }
    int v = b64_value(c);
    if (v < 0) continue;
    pads = 0;
    ++data_chars;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    if (++quad_pos == 4) {
      out += static_cast<char>((acc >> 16) & 0xFF);
      out += static_cast<char>((acc >> 8) & 0xFF);
      out += static_cast<char>(acc & 0xFF);
      acc = 0;
      quad_pos = 0;
    }
  }
  if (quad_pos == 1)
    throw BulkDecodeError("Invalid base64-encoded string: number of data characters (" + std::to_string(data_chars) +
                          ") cannot be 1 more than a multiple of 4");
  if (quad_pos != 0) throw BulkDecodeError("Incorrect padding");
  return out;
}

bool valid_utf8(std::string_view s, std::size_t& bad_pos) {
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else { bad_pos = i; return false; }
    if (i + len > s.size()) { bad_pos = i; return false; }
    for (std::size_t k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) { bad_pos = i; return false; }
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      bad_pos = i;
      return false;
    }
    i += len;
  }
  return true;
}

}  // namespace

json::value decode_bulk_envelope(std::string_view base64_message) {
  std::string text = percent_decode(base64_message);
  // Padding is counted in characters of the unquoted text.
  std::size_t chars = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++chars;
  while (chars % 4 != 0) {
    text += '=';
    ++chars;
  }
  std::string bytes = base64url_decode(text);
  std::size_t bad = 0;
  if (!valid_utf8(bytes, bad)) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned char>(bytes[bad]));
    throw BulkDecodeError(std::string("'utf-8' codec can't decode byte ") + hex + " in position " +
                          std::to_string(bad));
  }
  json::value envelope;
  std::string error;
  if (!parse_frame(bytes, envelope, error)) throw BulkDecodeError("Invalid JSON: " + error);
  return envelope;
}

awaitable<json::object> bulk_message(Server& server, std::string base64_message) {
  json::value envelope_v = decode_bulk_envelope(base64_message);
  if (!envelope_v.is_object()) throw BulkDecodeError("bulk envelope must be a JSON object");
  json::object& envelope = envelope_v.get_object();

  json::object ok;
  ok["status"] = "ok";
  if (is_missing(envelope, "client_type") || is_missing(envelope, "client_id")) co_return ok;

  auto text_of = [&](std::string_view key) {
    const json::value& v = envelope.at(key);
    return v.is_string() ? std::string(v.get_string()) : py_str(v);
  };
  std::string client_type = text_of("client_type");
  std::string client_id = text_of("client_id");

  json::object message;
  if (auto* m = envelope.if_contains("message")) {
    if (m->is_object()) message = std::move(m->get_object());
    else if (!m->is_null()) throw BulkDecodeError("bulk envelope's message must be a JSON object");
  }
  server.logger->debug("Received bulk message for {}/{} with {} keys", client_type, client_id, message.size());
  co_await handle_message(server, std::move(client_type), std::move(client_id), std::move(message));
  co_return ok;
}

}  // namespace switchyard
