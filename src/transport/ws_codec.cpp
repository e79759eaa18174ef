#include "transport/ws_codec.hpp"

#include "services/digest.hpp"

#include <cstring>

namespace switchyard::ws {

void append_frame_header(std::string& out, Opcode opcode, std::size_t n) {
  out += static_cast<char>(0x80 | opcode);
  if (n < 126) {
    out += static_cast<char>(n);
  } else if (n <= 0xFFFF) {
    out += static_cast<char>(126);
    out += static_cast<char>((n >> 8) & 0xFF);
    out += static_cast<char>(n & 0xFF);
  } else {
    out += static_cast<char>(127);
    for (int i = 7; i >= 0; --i) out += static_cast<char>((static_cast<std::uint64_t>(n) >> (8 * i)) & 0xFF);
  }
}

std::string make_frame(Opcode opcode, std::string_view payload) {
  std::string out;
  out.reserve(payload.size() + 10);
  append_frame_header(out, opcode, payload.size());
  out.append(payload);
  return out;
}

std::string make_close_frame(std::uint16_t code, std::string_view reason) {
  // Control payloads are at most 125 bytes; cut the reason on a character boundary.
  std::size_t max_reason = 123;
  if (reason.size() > max_reason) {
    std::size_t cut = max_reason;
    while (cut > 0 && (static_cast<unsigned char>(reason[cut]) & 0xC0) == 0x80) --cut;
    reason = reason.substr(0, cut);
  }
  std::string payload;
  payload += static_cast<char>((code >> 8) & 0xFF);
  payload += static_cast<char>(code & 0xFF);
  payload.append(reason);
  return make_frame(kClose, payload);
}

bool is_valid_close_code(std::uint16_t code) {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}

bool Utf8Validator::feed(std::string_view bytes) {
  // Well-formed sequences only: the byte after a lead byte has lead-specific bounds that rule
  // out overlong forms, surrogates and code points above U+10FFFF.
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  while (p != end) {
    // Outside a sequence, runs of ASCII go eight bytes at a time.
    if (need_ == 0) {
      while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if (word & 0x8080808080808080ULL) break;
        p += 8;
      }
      if (p == end) break;
    }
    const unsigned char c = static_cast<unsigned char>(*p++);
    if (need_ == 0) {
      if (c < 0x80) continue;
      lo_ = 0x80;
      hi_ = 0xBF;
      if (c >= 0xC2 && c <= 0xDF) need_ = 1;
      else if (c == 0xE0) { need_ = 2; lo_ = 0xA0; }
      else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) need_ = 2;
      else if (c == 0xED) { need_ = 2; hi_ = 0x9F; }
      else if (c == 0xF0) { need_ = 3; lo_ = 0x90; }
      else if (c >= 0xF1 && c <= 0xF3) need_ = 3;
      else if (c == 0xF4) { need_ = 3; hi_ = 0x8F; }
      else return false;
      continue;
    }
    if (c < lo_ || c > hi_) return false;
    lo_ = 0x80;
    hi_ = 0xBF;
    --need_;
  }
  return true;
}

namespace {

// XORs the payload with the repeating four-byte key, eight bytes at a time.
void unmask(char* payload, std::size_t len, const unsigned char* key) {
  std::uint32_t k32;
  std::memcpy(&k32, key, 4);
  const std::uint64_t k64 = (std::uint64_t{k32} << 32) | k32;
  std::size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, payload + i, 8);
    word ^= k64;
    std::memcpy(payload + i, &word, 8);
  }
  for (; i < len; ++i) payload[i] = static_cast<char>(payload[i] ^ key[i & 3]);
}

}  // namespace

void FrameReader::feed(std::string_view bytes) {
  std::memcpy(prepare(bytes.size()), bytes.data(), bytes.size());
  commit(bytes.size());
}

void FrameReader::compact() {
  if (pos_ == 0) return;
  if (pos_ == end_) {
    pos_ = end_ = 0;
    return;
  }
  // Move the unconsumed tail to the front once it is cheap relative to what was consumed.
  if (pos_ >= end_ - pos_ || pos_ > (1u << 20)) {
    std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
}

char* FrameReader::prepare(std::size_t n) {
  compact();
  if (buffer_.size() < end_ + n) buffer_.resize(std::max(end_ + n, buffer_.size() * 2));
  return buffer_.data() + end_;
}

void FrameReader::commit(std::size_t n) { end_ += n; }

FrameReader::Event FrameReader::fail(std::uint16_t code, std::string reason) {
  finished_ = true;
  Event e;
  e.kind = Kind::kError;
  e.code = code;
  e.payload = std::move(reason);
  return e;
}

FrameReader::Event FrameReader::next() { return next_event(true); }

FrameReader::Event FrameReader::next_view() { return next_event(false); }

FrameReader::Event FrameReader::next_event(bool copy) {
  while (!finished_) {
    const std::size_t avail = end_ - pos_;
    if (avail < 2) return {};
    const auto* p = reinterpret_cast<const unsigned char*>(buffer_.data() + pos_);
    const bool fin = p[0] & 0x80;
    const unsigned rsv = p[0] & 0x70;
    const unsigned opcode = p[0] & 0x0F;
    const bool masked = p[1] & 0x80;
    std::uint64_t len = p[1] & 0x7F;
    std::size_t header = 2;
    if (rsv) return fail(kCloseProtocolError, "reserved bits set");
    const bool control = opcode >= 0x8;
    if (control) {
      if (opcode != kClose && opcode != kPing && opcode != kPong) return fail(kCloseProtocolError, "unknown opcode");
      if (!fin) return fail(kCloseProtocolError, "fragmented control frame");
      if (len > 125) return fail(kCloseProtocolError, "control frame too long");
    } else if (opcode != kContinuation && opcode != kText && opcode != kBinary) {
      return fail(kCloseProtocolError, "unknown opcode");
    }
    if (!masked) return fail(kCloseProtocolError, "client frame not masked");
    if (len == 126) {
      if (avail < 4) return {};
      len = (std::uint64_t{p[2]} << 8) | p[3];
      header = 4;
    } else if (len == 127) {
      if (avail < 10) return {};
      len = 0;
      for (int i = 0; i < 8; ++i) len = (len << 8) | p[2 + i];
      if (len >> 63) return fail(kCloseProtocolError, "invalid frame length");
      header = 10;
    }
    if (!control) {
      if (opcode == kContinuation && !in_message_) return fail(kCloseProtocolError, "continuation without a message");
      if (opcode != kContinuation && in_message_) return fail(kCloseProtocolError, "new message inside a fragmented one");
      const std::size_t so_far = opcode == kContinuation ? message_.size() : 0;
      if (len > max_message_ || so_far + len > max_message_) return fail(kCloseTooBig, "message too big");
    }
    const std::size_t total = header + 4 + static_cast<std::size_t>(len);
    if (avail < total) return {};

    const unsigned char* mask = p + header;
    char* payload = buffer_.data() + pos_ + header + 4;
    unmask(payload, static_cast<std::size_t>(len), mask);
    std::string_view data(payload, static_cast<std::size_t>(len));
    pos_ += total;

    if (control) {
      Event e;
      if (opcode == kPing) {
        e.kind = Kind::kPing;
        e.payload.assign(data);
        return e;
      }
      if (opcode == kPong) continue;
      // Close.
      finished_ = true;
      e.kind = Kind::kClose;
      if (data.empty()) {
        e.code = 1005;
        return e;
      }
      if (data.size() == 1) return fail(kCloseProtocolError, "invalid close payload");
      e.code = static_cast<std::uint16_t>((static_cast<unsigned char>(data[0]) << 8) | static_cast<unsigned char>(data[1]));
      if (!is_valid_close_code(e.code)) return fail(kCloseProtocolError, "invalid close code");
      Utf8Validator v;
      std::string_view reason = data.substr(2);
      if (!v.feed(reason) || !v.complete()) return fail(kCloseInvalidPayload, "invalid close reason");
      e.payload.assign(reason);
      return e;
    }

    if (opcode != kContinuation) {
      in_message_ = true;
      message_binary_ = opcode == kBinary;
      message_.clear();
      utf8_.reset();
    }
    if (!message_binary_ && !utf8_.feed(data)) return fail(kCloseInvalidPayload, "invalid UTF-8 in text message");
    if (fin && message_.empty()) {
      // The common case: a whole message in one frame, no copy into the assembly buffer.
      if (!message_binary_ && !utf8_.complete()) return fail(kCloseInvalidPayload, "invalid UTF-8 in text message");
      in_message_ = false;
      Event e;
      e.kind = Kind::kMessage;
      e.binary = message_binary_;
      if (copy) e.payload.assign(data);
      else e.message = data;
      return e;
    }
    message_.append(data);
    if (fin) {
      if (!message_binary_ && !utf8_.complete()) return fail(kCloseInvalidPayload, "invalid UTF-8 in text message");
      in_message_ = false;
      Event e;
      e.kind = Kind::kMessage;
      e.binary = message_binary_;
      if (copy) {
        e.payload = std::move(message_);
        message_.clear();
      } else {
        e.message = message_;  // emptied when the next message starts
      }
      return e;
    }
  }
  return {};
}

std::string accept_key(std::string_view client_key) {
  static constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  std::string input(client_key);
  input.append(kGuid);
  const corvane::digest::Sha1Digest digest = corvane::digest::sha1(input);
  // Base64 of the 20 bytes: 27 characters and one "=".
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < digest.size(); i += 3) {
    const std::size_t left = digest.size() - i;
    const unsigned v = digest[i] << 16 | (left > 1 ? digest[i + 1] << 8 : 0) | (left > 2 ? digest[i + 2] : 0);
    out.push_back(kAlphabet[v >> 18 & 63]);
    out.push_back(kAlphabet[v >> 12 & 63]);
    out.push_back(left > 1 ? kAlphabet[v >> 6 & 63] : '=');
    out.push_back(left > 2 ? kAlphabet[v & 63] : '=');
  }
  return out;
}

bool valid_client_key(std::string_view key) {
  if (key.size() != 24 || key.substr(22) != "==") return false;
  for (std::size_t i = 0; i < 22; ++i) {
    char c = key[i];
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!ok) return false;
  }
  return true;
}

}  // namespace switchyard::ws
