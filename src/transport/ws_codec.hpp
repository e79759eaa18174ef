#pragma once
// WebSocket framing (RFC 6455), server side, without I/O: parses client frames into messages
// and control events, and writes server frames. The session feeds it bytes from the socket.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace switchyard::ws {

enum Opcode : std::uint8_t {
  kContinuation = 0x0,
  kText = 0x1,
  kBinary = 0x2,
  kClose = 0x8,
  kPing = 0x9,
  kPong = 0xA,
};

// Close codes used by the server.
inline constexpr std::uint16_t kCloseNormal = 1000;
inline constexpr std::uint16_t kCloseGoingAway = 1001;
inline constexpr std::uint16_t kCloseProtocolError = 1002;
inline constexpr std::uint16_t kCloseInvalidPayload = 1007;
inline constexpr std::uint16_t kClosePolicy = 1008;
inline constexpr std::uint16_t kCloseTooBig = 1009;

// Appends the header of an unmasked, final server frame carrying `payload_size` bytes.
void append_frame_header(std::string& out, Opcode opcode, std::size_t payload_size);
// A whole server frame.
std::string make_frame(Opcode opcode, std::string_view payload);
// A close frame with a status code and a reason (cut to fit the 125-byte control payload).
std::string make_close_frame(std::uint16_t code, std::string_view reason);

// True for close codes a peer may send.
bool is_valid_close_code(std::uint16_t code);

// Incremental UTF-8 validation across fragments.
class Utf8Validator {
 public:
  // False as soon as the bytes cannot be part of valid UTF-8.
  bool feed(std::string_view bytes);
  // True when no multi-byte sequence is left open.
  bool complete() const { return need_ == 0; }
  void reset() { need_ = 0; }

 private:
  int need_ = 0;
  unsigned char lo_ = 0x80;
  unsigned char hi_ = 0xBF;
};

// Turns the bytes a client sends into events.
class FrameReader {
 public:
  enum class Kind {
    kNeedMore,   // feed more bytes
    kMessage,    // `payload` holds a complete text (or binary) message
    kPing,       // answer with a pong carrying `payload`
    kPong,       // nothing to do
    kClose,      // the peer closes: `code` (1005 when it gave none) and `payload` (reason)
    kError,      // protocol violation: close with `code`, reason in `payload`
  };
  struct Event {
    Kind kind = Kind::kNeedMore;
    std::string payload;
    std::uint16_t code = 0;
    bool binary = false;
    // next_view() only: a message's bytes, valid until the reader is next used.
    std::string_view message;
  };

  explicit FrameReader(std::size_t max_message_size) : max_message_(max_message_size) {}

  // Appends received bytes.
  void feed(std::string_view bytes);
  // Space to read into directly: returns a pointer to `n` writable bytes at the end of the
  // buffer; call commit() with the number actually written.
  char* prepare(std::size_t n);
  void commit(std::size_t n);

  // The next event from the bytes fed so far. After kError or kClose the reader is finished.
  Event next();
  // The same, but a message is not copied out: it is handed over as `message`, a view into the
  // reader's buffers that stays valid until the next call of any member function.
  Event next_view();
  bool finished() const { return finished_; }

 private:
  Event fail(std::uint16_t code, std::string reason);
  Event next_event(bool copy);
  void compact();

  std::size_t max_message_;
  std::string buffer_;
  std::size_t pos_ = 0;   // first unconsumed byte
  std::size_t end_ = 0;   // end of valid bytes in buffer_
  // The message being assembled from fragments.
  bool in_message_ = false;
  bool message_binary_ = false;
  std::string message_;
  Utf8Validator utf8_;
  bool finished_ = false;
};

// The Sec-WebSocket-Accept value for a Sec-WebSocket-Key.
std::string accept_key(std::string_view client_key);
// True when the key is base64 of 16 bytes.
bool valid_client_key(std::string_view client_key);

}  // namespace switchyard::ws
