// The gate every HTTP request and WebSocket handshake passes (Host, Origin, Sec-Fetch-Site).
// Whatever the header values: what gets in has, read by a URL parser, a loopback host and, when
// it names an origin, an https origin on a loopback host or one on the allow-list; a browser's
// cross-site request without an origin stays out; every refusal is a 403 with a reason.
//
// Input: a byte whose low three bits say which headers are present (Host, Origin,
// Sec-Fetch-Site), then their values, one per line.
#include "check.hpp"

#include "transport/http_gate.hpp"

#include <boost/url/parse.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>

using namespace switchyard::transport;

namespace {

const std::vector<std::string> kExtraOrigins = {normalize_origin("https://Addin.Example:8443/")};

std::string lower_trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool loopback_name(std::string_view host) { return host == "127.0.0.1" || host == "localhost" || host == "[::1]"; }

void check_host_let_in(std::string_view header) {
  std::string text = lower_trimmed(header);
  auto authority = boost::urls::parse_authority(text);
  FUZZ_CHECK_MSG(authority.has_value(), "a Host that is no authority got in: " + text);
  FUZZ_CHECK_MSG(!authority->has_userinfo() && loopback_name(authority->encoded_host()),
                 "a Host that is not loopback got in: " + text);
}

void check_origin_let_in(std::string_view header) {
  std::string text = normalize_origin(header);
  FUZZ_CHECK(normalize_origin(text) == text);
  if (std::find(kExtraOrigins.begin(), kExtraOrigins.end(), text) != kExtraOrigins.end()) return;
  auto url = boost::urls::parse_uri(text);
  FUZZ_CHECK_MSG(url.has_value(), "an origin that is no URL got in: " + text);
  FUZZ_CHECK_MSG(url->scheme() == "https" && !url->has_userinfo() && url->encoded_path().empty() &&
                     !url->has_query() && !url->has_fragment(),
                 "an origin that is not a bare https origin got in: " + text);
  FUZZ_CHECK_MSG(url->encoded_host() == "localhost" || url->encoded_host() == "127.0.0.1",
                 "an origin not on a loopback host got in: " + text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const unsigned present = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string_view values[3];
  for (auto& v : values) {
    std::size_t nl = rest.find('\n');
    v = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
  }
  std::optional<std::string_view> host, origin, site;
  if (present & 1) host = values[0];
  if (present & 2) origin = values[1];
  if (present & 4) site = values[2];

  GateResult result = check_gate(host, origin, site, kExtraOrigins);
  if (!result.allowed) {
    FUZZ_CHECK(result.status == 403 && !result.reason.empty());
    return 0;
  }
  FUZZ_CHECK(result.status == 200);
  if (host) check_host_let_in(*host);
  if (origin) check_origin_let_in(*origin);
  if (!origin && site) {
    std::string s = lower_trimmed(*site);
    FUZZ_CHECK_MSG(s != "cross-site" && s != "same-site", "a cross-site request without an origin got in");
  }
  // The helpers agree with the decision.
  if (host) FUZZ_CHECK(is_loopback_host(*host));
  return 0;
}
