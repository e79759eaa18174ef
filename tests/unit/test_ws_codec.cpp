#include "transport/ws_codec.hpp"

#include <gtest/gtest.h>

namespace switchyard::ws {
namespace {

using Kind = FrameReader::Kind;

// A masked client frame.
std::string client_frame(std::uint8_t first_byte, std::string_view payload, std::uint32_t mask = 0x11223344) {
  std::string out;
  out += static_cast<char>(first_byte);
  std::size_t n = payload.size();
  if (n < 126) {
    out += static_cast<char>(0x80 | n);
  } else if (n <= 0xFFFF) {
    out += static_cast<char>(0x80 | 126);
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n & 0xFF);
  } else {
    out += static_cast<char>(0x80 | 127);
    for (int i = 7; i >= 0; --i) out += static_cast<char>((static_cast<std::uint64_t>(n) >> (8 * i)) & 0xFF);
  }
  unsigned char m[4] = {static_cast<unsigned char>(mask >> 24), static_cast<unsigned char>(mask >> 16),
                        static_cast<unsigned char>(mask >> 8), static_cast<unsigned char>(mask)};
  out.append(reinterpret_cast<char*>(m), 4);
  for (std::size_t i = 0; i < n; ++i) out += static_cast<char>(payload[i] ^ m[i & 3]);
  return out;
}

std::string text(std::string_view s, bool fin = true) { return client_frame((fin ? 0x80 : 0) | kText, s); }
std::string cont(std::string_view s, bool fin = true) { return client_frame((fin ? 0x80 : 0) | kContinuation, s); }

TEST(FrameReader, WholeMessagesAcrossArbitrarySplits) {
  std::string stream = text("hello") + text(std::string(300, 'x')) + text(std::string(70000, 'y'));
  FrameReader r(1 << 20);
  std::vector<std::string> got;
  for (std::size_t i = 0; i < stream.size(); i += 7) {
    r.feed(std::string_view(stream).substr(i, 7));
    for (auto e = r.next(); e.kind != Kind::kNeedMore; e = r.next()) got.push_back(e.payload);
  }
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], "hello");
  EXPECT_EQ(got[1], std::string(300, 'x'));
  EXPECT_EQ(got[2], std::string(70000, 'y'));
}

TEST(FrameReader, FragmentsWithControlFramesInBetween) {
  FrameReader r(1024);
  r.feed(text("hel", false) + client_frame(0x80 | kPing, "p") + cont("lo ", false) + cont("world"));
  auto ping = r.next();
  EXPECT_EQ(ping.kind, Kind::kPing);
  EXPECT_EQ(ping.payload, "p");
  auto msg = r.next();
  ASSERT_EQ(msg.kind, Kind::kMessage);
  EXPECT_EQ(msg.payload, "hello world");
}

TEST(FrameReader, MessagesAsViewsWholeOrAssembled) {
  FrameReader r(1024);
  r.feed(text("first") + text("sec", false) + cont("ond") + text(std::string(200, 'z')));
  std::vector<std::string> got;
  for (auto e = r.next_view(); e.kind != Kind::kNeedMore; e = r.next_view()) {
    ASSERT_EQ(e.kind, Kind::kMessage);
    EXPECT_TRUE(e.payload.empty());
    got.emplace_back(e.message);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"first", "second", std::string(200, 'z')}));
}

TEST(FrameReader, Utf8SplitAcrossFragmentsIsFineInvalidUtf8IsNot) {
  FrameReader ok(1024);
  ok.feed(text("caf\xc3", false) + cont("\xa9"));
  EXPECT_EQ(ok.next().payload, "caf\xc3\xa9");

  // Behind runs of ASCII of every length around the eight bytes checked at once.
  for (std::size_t ascii : {0, 7, 8, 9, 16, 21}) {
    std::string lead(ascii, 'a');
    FrameReader good(1024);
    std::string mixed = lead + "caf\xc3\xa9 \xf0\x9f\x98\x80" + lead + "\xe2\x82\xac" + lead;
    good.feed(text(mixed));
    EXPECT_EQ(good.next().payload, mixed);
    for (std::string bad : {std::string("\xc0\xaf"), std::string("\xed\xa0\x80"), std::string("\xf4\x90\x80\x80"),
                            std::string("\xff"), std::string("ab\xc3"), std::string("\xc3") + lead}) {
      FrameReader r(1024);
      r.feed(text(lead + bad));
      auto e = r.next();
      EXPECT_EQ(e.kind, Kind::kError) << ascii;
      EXPECT_EQ(e.code, kCloseInvalidPayload);
    }
  }
  // Fails fast on the first bad fragment, before the message ends.
  FrameReader early(1024);
  early.feed(text("\xff", false));
  EXPECT_EQ(early.next().code, kCloseInvalidPayload);
}

TEST(FrameReader, ProtocolViolations) {
  auto first_error = [](const std::string& bytes) {
    FrameReader r(1024);
    r.feed(bytes);
    return r.next();
  };
  std::string unmasked = "\x81\x02hi";
  EXPECT_EQ(first_error(unmasked).code, kCloseProtocolError);
  EXPECT_EQ(first_error(client_frame(0x80 | 0x40 | kText, "x")).code, kCloseProtocolError);  // RSV1
  EXPECT_EQ(first_error(client_frame(0x80 | 0x3, "x")).code, kCloseProtocolError);          // reserved opcode
  EXPECT_EQ(first_error(cont("x")).code, kCloseProtocolError);                              // nothing to continue
  EXPECT_EQ(first_error(text("a", false) + text("b")).code, kCloseProtocolError);           // nested start
  EXPECT_EQ(first_error(client_frame(kPing, "x")).code, kCloseProtocolError);               // fragmented control
  EXPECT_EQ(first_error(client_frame(0x80 | kPing, std::string(126, 'x'))).code, kCloseProtocolError);
  EXPECT_EQ(first_error(client_frame(0x80 | kClose, "\x03")).code, kCloseProtocolError);  // 1-byte close
  EXPECT_EQ(first_error(client_frame(0x80 | kClose, std::string("\x03\xed", 2))).code, kCloseProtocolError);  // 1005
}

TEST(FrameReader, TooBigIsRefusedFromTheHeaderAlone) {
  FrameReader r(100);
  std::string frame = client_frame(0x80 | kText, std::string(101, 'a'));
  r.feed(frame.substr(0, 8));  // header and mask only
  EXPECT_EQ(r.next().code, kCloseTooBig);
  FrameReader f(100);
  f.feed(text(std::string(60, 'a'), false) + cont(std::string(60, 'a')));
  EXPECT_EQ(f.next().code, kCloseTooBig);
}

TEST(FrameReader, CloseCarriesCodeAndReason) {
  FrameReader r(1024);
  r.feed(client_frame(0x80 | kClose, std::string("\x03\xe8", 2) + "bye"));
  auto e = r.next();
  EXPECT_EQ(e.kind, Kind::kClose);
  EXPECT_EQ(e.code, 1000);
  EXPECT_EQ(e.payload, "bye");
  EXPECT_TRUE(r.finished());
  FrameReader empty(1024);
  empty.feed(client_frame(0x80 | kClose, ""));
  EXPECT_EQ(empty.next().code, 1005);
}

TEST(Framing, ServerFramesAndCloseCodes) {
  EXPECT_EQ(make_frame(kText, "hi"), std::string("\x81\x02hi"));
  std::string mid = make_frame(kText, std::string(300, 'a'));
  EXPECT_EQ(static_cast<unsigned char>(mid[1]), 126);
  EXPECT_EQ(mid.size(), 304u);
  std::string big = make_frame(kText, std::string(70000, 'a'));
  EXPECT_EQ(static_cast<unsigned char>(big[1]), 127);
  std::string close = make_close_frame(4002, std::string(200, 'r'));
  EXPECT_EQ(close.size(), 2u + 125u);
  EXPECT_EQ(static_cast<unsigned char>(close[2]), 4002 >> 8);
  EXPECT_TRUE(is_valid_close_code(1000));
  EXPECT_TRUE(is_valid_close_code(4001));
  EXPECT_FALSE(is_valid_close_code(1005));
  EXPECT_FALSE(is_valid_close_code(999));
  EXPECT_FALSE(is_valid_close_code(5000));
}

TEST(Handshake, AcceptKeyFromTheRfcExample) {
  EXPECT_EQ(accept_key("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_TRUE(valid_client_key("dGhlIHNhbXBsZSBub25jZQ=="));
  EXPECT_FALSE(valid_client_key("short"));
}

}  // namespace
}  // namespace switchyard::ws
