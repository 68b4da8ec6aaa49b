#include "base/host_port.h"

#include <gtest/gtest.h>

namespace pellucor {
namespace {

TEST(HostPort, OneReadingForEveryAddressOption) {
  const struct {
    const char* text;
    PortRule rule;
    std::optional<std::string> host;
    int port;
  } cases[] = {
      {"127.0.0.1:8600", PortRule::kRequired, "127.0.0.1", 8600},
      {"[::1]:6881", PortRule::kRequired, "::1", 6881},
      {"dht.example.org:25401", PortRule::kRequired, "dht.example.org", 25401},
      {"example.org", PortRule::kOptional, "example.org", 0},
      {"[::1]", PortRule::kOptional, "::1", 0},
      {"127.0.0.1:0", PortRule::kAnyPort, "127.0.0.1", 0},
      {"example.org", PortRule::kRequired, std::nullopt, 0},
      {"127.0.0.1:0", PortRule::kRequired, std::nullopt, 0},
      {"127.0.0.1:0", PortRule::kOptional, std::nullopt, 0},
      {"127.0.0.1:65536", PortRule::kAnyPort, std::nullopt, 0},
      {"127.0.0.1:", PortRule::kOptional, std::nullopt, 0},
      {"127.0.0.1:86x0", PortRule::kRequired, std::nullopt, 0},
      {"127.0.0.1:000080", PortRule::kRequired, std::nullopt, 0},
      {":80", PortRule::kRequired, std::nullopt, 0},
      {"[]:80", PortRule::kRequired, std::nullopt, 0},
      {"::1:6881", PortRule::kRequired, std::nullopt, 0},  // IPv6 needs brackets
      {"[::1]6881", PortRule::kRequired, std::nullopt, 0},
      {"[::1:6881", PortRule::kRequired, std::nullopt, 0},
      {"a b:80", PortRule::kRequired, std::nullopt, 0},
      {"user@host:80", PortRule::kRequired, std::nullopt, 0},
      {"host/path:80", PortRule::kRequired, std::nullopt, 0},
      {"a\x01:80", PortRule::kRequired, std::nullopt, 0},
  };
  for (const auto& c : cases) {
    const std::optional<HostPort> parsed = ParseHostPort(c.text, c.rule);
    ASSERT_EQ(parsed.has_value(), c.host.has_value()) << c.text;
    if (!parsed) continue;
    EXPECT_EQ(parsed->host, *c.host) << c.text;
    EXPECT_EQ(parsed->port, c.port) << c.text;
  }
  EXPECT_EQ(ParseHostPort("[::1]:80")->str(), "[::1]:80");
}

}  // namespace
}  // namespace pellucor
