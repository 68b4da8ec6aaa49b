// One HTTP exchange, the way the Windows Internet functions do it: open a session, connect to
// a host and port, open a request with flags, send the header block and body, read the body,
// query the raw reply header block, close. WebRequest is written on this seam once;
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

// A request that moves fewer than kStallBytes in kStallSeconds (connecting, waiting for the
// reply or reading it) is given up and fails like an unreachable server: a dead or trickling
// service holds its caller for about kStallSeconds, while a large reply arriving at a slow but
// real speed is read to its end.
inline constexpr int kStallSeconds = 30;
inline constexpr int64_t kStallBytes = 1024;

// The platform's reads of the body: at most kReadChunk bytes each.
inline constexpr int32_t kReadChunk = 1024;
// The largest reply body taken: the largest torrent a service serves. A longer one fails the
// request.
inline constexpr int64_t kMaxBodyBytes = 100 * 1024 * 1024;

// Appends a piece of the reply body. The announced length (Content-Length; -1 when there is
// none) only sizes the buffer so that an honest reply is not copied at every doubling: the
// buffer never holds more than twice what has arrived (64 KiB at the least), whatever was
// announced. False, with the body as it was, when the body would pass kMaxBodyBytes or the
// memory for it cannot be had: that request fails, the program goes on.
//   announced 250 MB, 1 KB arrived -> room for 64 KiB;  5 MB announced and arrived -> < 10 MB
bool AppendBodyChunk(std::string& body, std::string_view chunk, int64_t announced);

// The progress rule both back ends apply. The clock starts with the request; every time
// kStallBytes more have been received (reply headers and body) or sent (request body) it
// starts again, and the request has stalled once it runs kStallSeconds without.
//   StallWatch w(0); w.Moved(1000, 5000); w.MsLeft(29000) -> 1000; w.MsLeft(30000) -> 0
//   w.Moved(24, 20000) (1024 in all) -> w.MsLeft(30000) -> 20000
class StallWatch {
 public:
  explicit StallWatch(uint32_t nowMs) : markMs_(nowMs) {}
  void Moved(int64_t bytes, uint32_t nowMs) {
    pending_ += bytes;
    if (pending_ < kStallBytes) return;
    pending_ = 0;
    markMs_ = nowMs;
  }
  // Milliseconds until the request counts as stalled; 0 once it does. (Tick counts wrap.)
  uint32_t MsLeft(uint32_t nowMs) const {
    const uint32_t elapsed = nowMs - markMs_;
    constexpr uint32_t kLimit = kStallSeconds * 1000u;
    return elapsed >= kLimit ? 0 : kLimit - elapsed;
  }

 private:
  uint32_t markMs_;
  int64_t pending_ = 0;
};

class Transport {
 public:
  virtual ~Transport() = default;

  // `proxyList` is "http=host:port" to reach plain-HTTP URLs through a proxy; nothing means a
  // direct connection (no proxy from the environment either).
  virtual bool OpenSession(const GbkText& agent, const std::optional<GbkText>& proxyList) = 0;
  virtual bool Connect(const GbkText& host, int32_t port) = 0;
  // `target` is the path and query as they go on the wire (RequestTarget, http/url.h).
  virtual bool OpenRequest(const GbkText& verb, const GbkText& target, uint32_t flags) = 0;
  // Sends the header block (lines joined by "\r\n") and the body; false when no reply came
  // (the host could not be reached, or the request stalled).
  virtual bool Send(const GbkText& headers, const ByteBuffer& body) = 0;
  // The reply body, read to its end (or to a read error: what arrived until then) into one
  // buffer that the transport sizes once from the announced length and hands over; nothing
  // when the request stalled. The Windows back end asks the platform for kReadChunk bytes at
  // a time.
  virtual std::optional<std::string> ReadBody() = 0;
  // The final reply's raw header block: status line and header lines, each ended by "\r\n",
  // then the empty line. Nothing when no block came or it needs more than `capacity` bytes
  // with its terminating zero.
  virtual std::optional<std::string> RawHeaders(int32_t capacity) = 0;
  // Closes the request, the connection and the session, in that order.
  virtual void Close() = 0;
};

std::unique_ptr<Transport> NewTransport();

}  // namespace pellucor
