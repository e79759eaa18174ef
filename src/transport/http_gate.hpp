#pragma once
// The check every HTTP request and WebSocket handshake passes before anything else: a web page
// the user visits can reach 127.0.0.1 too, so only loopback Host names and allowed origins get in.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace switchyard::transport {

struct GateResult {
  bool allowed = true;
  int status = 200;
  std::string reason;  // for the refusal's warning and body
};

// 127.0.0.1, localhost or [::1], with or without a port (case-insensitive).
bool is_loopback_host(std::string_view host_header);
// https://localhost or https://127.0.0.1, on any port.
bool is_default_allowed_origin(std::string_view origin);
// An origin text in comparable form: lower-case, without a trailing "/".
std::string normalize_origin(std::string_view origin);

// `extra_origins`: the configured allow-list (already normalised).
GateResult check_gate(std::optional<std::string_view> host, std::optional<std::string_view> origin,
                      std::optional<std::string_view> sec_fetch_site, const std::vector<std::string>& extra_origins);

}  // namespace switchyard::transport
