// The bulk entry: text from a URL path or a request body, decoded (percent-decoding, padding,
// URL-safe base64, UTF-8, JSON) and, when it names a client, dispatched as that client's message.
//
// Input: the text as a peer sends it. Beside decoding the input itself, the target encodes the
// input as a well-behaved client would (base64url, padding dropped, some characters
// percent-encoded) and requires the round trip to give back exactly the parsed input.
#include "server_harness.hpp"

#include <cstddef>
#include <cstdint>

using namespace fuzzing;

namespace {

std::string base64url(std::string_view bytes, bool pad) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t n = (std::uint32_t(std::uint8_t(bytes[i])) << 16) | (std::uint32_t(std::uint8_t(bytes[i + 1])) << 8) |
                      std::uint8_t(bytes[i + 2]);
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t n = std::uint32_t(std::uint8_t(bytes[i])) << 16;
    if (rest == 2) n |= std::uint32_t(std::uint8_t(bytes[i + 1])) << 8;
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    if (rest == 2) out += kAlphabet[(n >> 6) & 63];
    if (pad) out.append(rest == 1 ? "==" : "=");
  }
  return out;
}

// Percent-encodes every "-" and every "=", as a client building a URL might.
std::string percent_encode_some(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '-') out += "%2D";
    else if (c == '=') out += "%3d";
    else out += c;
  }
  return out;
}

// Decodes and returns the value, or nullopt when the text is refused; any refusal other than
// BulkDecodeError is a fault.
std::optional<json::value> decode(std::string_view text) {
  try {
    json::value v = switchyard::decode_bulk_envelope(text);
    FUZZ_CHECK_MSG(json_depth(v) <= 64, "a bulk envelope nested deeper than 64 levels was accepted");
    return v;
  } catch (const switchyard::BulkDecodeError& e) {
    FUZZ_CHECK(e.what()[0] != '\0');
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);

  // 1. The input as the encoded text.
  std::optional<json::value> decoded = decode(input);

  // 2. The input as the message a client encodes: the round trip gives it back unchanged, and a
  //    text that is not a frame the server would accept is refused.
  json::value expected;
  std::string error;
  const bool acceptable = switchyard::parse_frame(input, expected, error);
  for (int variant = 0; variant < 3; ++variant) {
    std::string encoded = base64url(input, variant != 0);
    if (variant == 2) encoded = percent_encode_some(encoded);
    std::optional<json::value> back = decode(encoded);
    FUZZ_CHECK_MSG(back.has_value() == acceptable, "round trip refused a valid message or accepted an invalid one");
    if (back)
      FUZZ_CHECK_MSG(*back == expected, "round trip changed the message: " + switchyard::to_json(expected) + " became " +
                                            switchyard::to_json(*back) + " through " + encoded);
  }

  // 3. A decoded envelope goes through the bulk entry's dispatch.
  if (decoded && decoded->is_object()) {
    static ServerHarness harness;
    harness.reset();
    std::exception_ptr outcome = harness.run([](switchyard::Server& server, std::string text) -> awaitable<void> {
      try {
        json::object reply = co_await switchyard::bulk_message(server, std::move(text));
        FUZZ_CHECK(switchyard::get_str(reply, "status") == "ok");
      } catch (const switchyard::BulkDecodeError&) {
        // An envelope or message of the wrong kind: answered with HTTP 400.
      }
    }(harness.server(), std::string(input)));
    ServerHarness::check_outcome(outcome);
    harness.check_idle_invariants();
  }
  return 0;
}
