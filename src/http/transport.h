// One HTTP exchange, the way the Windows Internet functions do it: open a session, connect to
// a host and port, open a request with flags, send the header block and body, read the body in
// chunks, query the raw reply header block, close. WebRequest is written on this seam once;
// transport_wininet.cpp (Windows) and transport_curl.cpp (libcurl) are its back ends.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/text.h"

namespace pellucor {

// Request flags, with the Windows Internet values.
inline constexpr uint32_t kFlagReload = 0x80000000;  // never from a cache
inline constexpr uint32_t kFlagNeedFile = 0x00000010;
inline constexpr uint32_t kFlagNoCookies = 0x00080000;       // no automatic cookies
inline constexpr uint32_t kFlagNoAutoRedirect = 0x00200000;  // do not follow redirects
inline constexpr uint32_t kFlagSecure = 0x00800000;          // TLS
inline constexpr uint32_t kFlagIgnoreRedirectToHttps = 0x00004000;

// A request that receives no byte for this long fails like an unreachable server.
inline constexpr int kTransportTimeoutSeconds = 60;

class Transport {
 public:
  virtual ~Transport() = default;

  // `proxyList` is "http=host:port" to reach plain-HTTP URLs through a proxy; nothing means a
  // direct connection (no proxy from the environment either).
  virtual bool OpenSession(const GbkText& agent, const std::optional<GbkText>& proxyList) = 0;
  virtual bool Connect(const GbkText& host, int32_t port) = 0;
  virtual bool OpenRequest(const GbkText& verb, const GbkText& path, uint32_t flags) = 0;
  // Sends the header block (lines joined by "\r\n") and the body; false when no reply came
  // (the host could not be reached, or nothing arrived within the timeout).
  virtual bool Send(const GbkText& headers, const ByteBuffer& body) = 0;
  // Up to `size` bytes of the reply body; 0 ends the body.
  virtual int32_t Read(char* buffer, int32_t size) = 0;
  // The body's length as the reply announces it, or -1: lets the reader allocate once.
  virtual int64_t BodySizeHint() = 0;
  // The final reply's raw header block: status line and header lines, each ended by "\r\n",
  // then the empty line. Nothing when no block came or it needs more than `capacity` bytes
  // with its terminating zero.
  virtual std::optional<std::string> RawHeaders(int32_t capacity) = 0;
  // Closes the request, the connection and the session, in that order.
  virtual void Close() = 0;
};

std::unique_ptr<Transport> NewTransport();

}  // namespace pellucor
