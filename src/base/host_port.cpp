#include "base/host_port.h"

namespace pellucor {

std::string HostPort::str() const {
  std::string out = bracketed ? "[" + host + "]" : host;
  if (port != 0) out += ":" + std::to_string(port);
  return out;
}

std::optional<HostPort> ParseHostPort(std::string_view text, PortRule rule) {
  HostPort parsed;
  std::string_view port;
  bool hasPort = false;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    parsed.host = text.substr(1, close - 1);
    parsed.bracketed = true;
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      port = rest.substr(1);
      hasPort = true;
    }
  } else {
    const size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
      if (text.find(':', colon + 1) != std::string_view::npos) return std::nullopt;
      port = text.substr(colon + 1);
      hasPort = true;
    }
    parsed.host = text.substr(0, colon);
  }
  if (parsed.host.empty()) return std::nullopt;
  for (const char ch : parsed.host) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F || c == '/' || c == '?' || c == '#' || c == '@' || c == '[' ||
        c == ']')
      return std::nullopt;
    if (c == ':' && !parsed.bracketed) return std::nullopt;
  }
  if (!hasPort) {
    if (rule != PortRule::kOptional) return std::nullopt;
    return parsed;
  }
  if (port.empty() || port.size() > 5) return std::nullopt;
  int value = 0;
  for (const char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > 65535 || (value == 0 && rule != PortRule::kAnyPort)) return std::nullopt;
  parsed.port = value;
  return parsed;
}

}  // namespace pellucor
