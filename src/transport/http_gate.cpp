#include "transport/http_gate.hpp"

#include <algorithm>
#include <cctype>

namespace switchyard::transport {

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Splits "host[:port]" / "[v6][:port]"; false when the port part is malformed.
bool split_host_port(std::string_view text, std::string_view& host) {
  if (!text.empty() && text.front() == '[') {
    auto close = text.find(']');
    if (close == std::string_view::npos) return false;
    host = text.substr(0, close + 1);
    std::string_view rest = text.substr(close + 1);
    return rest.empty() || (rest.front() == ':' && all_digits(rest.substr(1)));
  }
  auto colon = text.find(':');
  if (colon == std::string_view::npos) {
    host = text;
    return true;
  }
  host = text.substr(0, colon);
  return all_digits(text.substr(colon + 1));
}

}  // namespace

bool is_loopback_host(std::string_view host_header) {
  std::string text = lower(trim(host_header));
  std::string_view host;
  if (!split_host_port(text, host)) return false;
  return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

std::string normalize_origin(std::string_view origin) {
  std::string text = lower(trim(origin));
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

bool is_default_allowed_origin(std::string_view origin) {
  std::string text = normalize_origin(origin);
  constexpr std::string_view kScheme = "https://";
  if (text.rfind(kScheme, 0) != 0) return false;
  std::string_view host;
  if (!split_host_port(std::string_view(text).substr(kScheme.size()), host)) return false;
  return host == "localhost" || host == "127.0.0.1";
}

GateResult check_gate(std::optional<std::string_view> host, std::optional<std::string_view> origin,
                      std::optional<std::string_view> sec_fetch_site, const std::vector<std::string>& extra_origins) {
  if (host && !is_loopback_host(*host)) return {false, 403, "Host not allowed: " + std::string(*host)};
  if (origin) {
    if (is_default_allowed_origin(*origin)) return {};
    std::string normalized = normalize_origin(*origin);
    if (std::find(extra_origins.begin(), extra_origins.end(), normalized) != extra_origins.end()) return {};
    return {false, 403, "Origin not allowed: " + std::string(*origin)};
  }
  if (sec_fetch_site) {
    std::string site = lower(trim(*sec_fetch_site));
    if (site == "cross-site" || site == "same-site")
      return {false, 403, "Cross-site request refused (Sec-Fetch-Site: " + site + ")"};
  }
  return {};
}

}  // namespace switchyard::transport
