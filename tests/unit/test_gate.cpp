#include "transport/http_gate.hpp"

#include <gtest/gtest.h>

namespace switchyard::transport {
namespace {

TEST(Gate, LoopbackHostsOnly) {
  for (auto h : {"127.0.0.1", "127.0.0.1:8000", "localhost", "LOCALHOST:1", "[::1]", "[::1]:8000"})
    EXPECT_TRUE(is_loopback_host(h)) << h;
  for (auto h : {"evil.com", "127.0.0.1.evil.com", "localhost.evil.com:80", "10.0.0.1", "[::2]", "localhost:x", ""})
    EXPECT_FALSE(is_loopback_host(h)) << h;
}

TEST(Gate, DefaultOriginsAreHttpsLoopbackOnAnyPort) {
  EXPECT_TRUE(is_default_allowed_origin("https://localhost"));
  EXPECT_TRUE(is_default_allowed_origin("https://localhost:3000"));
  EXPECT_TRUE(is_default_allowed_origin("https://127.0.0.1:44300"));
  EXPECT_FALSE(is_default_allowed_origin("http://localhost:3000"));
  EXPECT_FALSE(is_default_allowed_origin("https://localhost.evil.com"));
  EXPECT_FALSE(is_default_allowed_origin("null"));
}

TEST(Gate, Decisions) {
  std::vector<std::string> extra = {normalize_origin("https://Addin.Example:8443/")};
  EXPECT_TRUE(check_gate("localhost:8000", std::nullopt, std::nullopt, extra).allowed);
  EXPECT_TRUE(check_gate(std::nullopt, std::nullopt, std::nullopt, extra).allowed);
  EXPECT_FALSE(check_gate("attacker.com", std::nullopt, std::nullopt, extra).allowed);
  EXPECT_TRUE(check_gate("127.0.0.1", "https://addin.example:8443", std::nullopt, extra).allowed);
  auto refused = check_gate("127.0.0.1", "https://evil.example", std::nullopt, extra);
  EXPECT_FALSE(refused.allowed);
  EXPECT_EQ(refused.status, 403);
  EXPECT_NE(refused.reason.find("https://evil.example"), std::string::npos);
  EXPECT_FALSE(check_gate("127.0.0.1", std::nullopt, "cross-site", extra).allowed);
  EXPECT_FALSE(check_gate("127.0.0.1", std::nullopt, "same-site", extra).allowed);
  EXPECT_TRUE(check_gate("127.0.0.1", std::nullopt, "none", extra).allowed);
  EXPECT_TRUE(check_gate("127.0.0.1", std::nullopt, "same-origin", extra).allowed);
}

}  // namespace
}  // namespace switchyard::transport
