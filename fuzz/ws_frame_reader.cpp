// The WebSocket frame reader over the raw bytes a client sends. Whatever the bytes: no message
// is larger than the cap, text is valid UTF-8, control frames and close codes are what the
// protocol allows, nothing comes after an error or a close, and how the bytes are split into
// reads changes nothing.
//
// Input: a byte choosing the message cap, a byte choosing how the stream is split into reads,
// then the stream.
#include "check.hpp"

#include "transport/ws_codec.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using switchyard::ws::FrameReader;
using Kind = FrameReader::Kind;

namespace {

constexpr std::size_t kCaps[] = {0, 1, 2, 125, 126, 1000, 65535, 65536, 1u << 20, 64u << 20};

struct Seen {
  Kind kind;
  std::string payload;
  std::uint16_t code;
  bool binary;
  bool operator==(const Seen&) const = default;
};

// Drains the events the reader has now, checking each; true once the reader is finished.
// With `view`, messages are taken as views (next_view) and copied here.
bool drain(FrameReader& reader, std::size_t cap, std::vector<Seen>& out, bool view = false) {
  while (true) {
    if (reader.finished()) {
      FUZZ_CHECK_MSG(reader.next().kind == Kind::kNeedMore, "an event after an error or a close");
      return true;
    }
    FrameReader::Event e = view ? reader.next_view() : reader.next();
    if (view && e.kind == Kind::kMessage) {
      FUZZ_CHECK(e.payload.empty());
      e.payload.assign(e.message);
    }
    switch (e.kind) {
      case Kind::kNeedMore:
        FUZZ_CHECK(e.payload.empty());
        return false;
      case Kind::kMessage:
        FUZZ_CHECK_MSG(e.payload.size() <= cap, "a message larger than the cap");
        if (!e.binary) FUZZ_CHECK_MSG(fuzzing::valid_utf8(e.payload), "a text message that is not UTF-8");
        break;
      case Kind::kPing:
        FUZZ_CHECK(e.payload.size() <= 125);
        break;
      case Kind::kPong:
        fuzzing::fail(__FILE__, __LINE__, "kPong", "pongs are consumed by the reader");
      case Kind::kClose:
        FUZZ_CHECK(reader.finished());
        if (e.code == 1005) {
          FUZZ_CHECK(e.payload.empty());
        } else {
          FUZZ_CHECK(switchyard::ws::is_valid_close_code(e.code));
          FUZZ_CHECK(e.payload.size() <= 123 && fuzzing::valid_utf8(e.payload));
        }
        break;
      case Kind::kError:
        FUZZ_CHECK(reader.finished());
        FUZZ_CHECK(e.code == switchyard::ws::kCloseProtocolError || e.code == switchyard::ws::kCloseInvalidPayload ||
                   e.code == switchyard::ws::kCloseTooBig);
        FUZZ_CHECK(!e.payload.empty());
        break;
    }
    out.push_back({e.kind, std::move(e.payload), e.code, e.binary});
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t cap = kCaps[data[0] % std::size(kCaps)];
  const unsigned split = data[1];
  std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

  // All at once.
  std::vector<Seen> whole;
  FrameReader a(cap);
  a.feed(stream);
  if (drain(a, cap, whole)) {
    a.feed("\x81\x80\x00\x00\x00\x00");  // a valid empty text frame: still nothing
    FUZZ_CHECK(a.next().kind == Kind::kNeedMore);
  }

  // In pieces of 1 to 16 bytes, through both ways of handing bytes to the reader, taking
  // messages as views.
  std::vector<Seen> pieces;
  FrameReader b(cap);
  bool finished = false;
  std::size_t pos = 0;
  for (unsigned k = 0; pos < stream.size(); ++k) {
    std::size_t n = std::min<std::size_t>(stream.size() - pos, 1 + ((split >> (k % 4)) + k) % 16);
    if (k & 1) {
      b.feed(stream.substr(pos, n));
    } else {
      std::memcpy(b.prepare(n), stream.data() + pos, n);
      b.commit(n);
    }
    pos += n;
    finished = drain(b, cap, pieces, true);
    if (finished) break;
  }
  if (!finished) drain(b, cap, pieces, true);
  FUZZ_CHECK_MSG(pieces == whole, "the events depend on how the bytes were split into reads");
  return 0;
}
