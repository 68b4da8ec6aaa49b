// "HOST:PORT" as every command line of the project writes an address: the service's --listen,
// --peer and --dht-bootstrap, the converter's --service. An IPv6 address is written in
// brackets; a host name is allowed (resolving it is the caller's business).
//   "127.0.0.1:8600"  -> host "127.0.0.1", port 8600
//   "[::1]:6881"      -> host "::1", port 6881 (bracketed)
//   "example.org"     -> host "example.org", no port (only where the port may be left out)
//   "::1:6881"        -> nothing (an IPv6 address without brackets is ambiguous)
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pellucor {

struct HostPort {
  std::string host;  // without brackets
  int port = 0;      // 0: none given
  bool bracketed = false;
  // "host:port", brackets put back around an IPv6 address.
  std::string str() const;
};

enum class PortRule {
  kRequired,  // a port of 1 to 65535
  kOptional,  // as kRequired, or none
  kAnyPort,   // 0 to 65535 (0: the system picks one)
};

// Nothing for anything else: an empty host, a port out of range or not all digits, a host with
// a blank, a control byte, or one of / ? # @ in it.
std::optional<HostPort> ParseHostPort(std::string_view text, PortRule rule = PortRule::kRequired);

}  // namespace pellucor
