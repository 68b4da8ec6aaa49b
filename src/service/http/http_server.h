// A small HTTP/1.1 server on Boost.Beast: one io_context, no thread per connection, so a request
// that waits for the swarm holds nothing but its socket. Each connection reads one request at a
// time within a deadline, hands it to the handler, and writes the handler's response whenever
// it comes; keep-alive is honoured. A HEAD request gets the headers of the GET reply and no
// body. A response body is one immutable shared buffer (SharedBody): a stored torrent goes out
// to any number of clients without a copy per reply, gathered with the header in one write.
//
// Refused before the handler sees them: a body over the limit (413), a header block over the
// limit (431), anything that does not parse as HTTP (400). A client that sends too slowly is
// disconnected when the read deadline passes; a reply that makes no progress for 30 s is dropped.
//
// Against clients that hold connections open: at most `maxConnectionsPerClient` from one address
// (more are closed at once); while more than half of the `maxConnections` slots are taken, a
// connection that has not sent a whole request header within `idleHeaderTimeout` is closed; and
// when every slot is taken, the connection that has waited longest for a request header is
// closed to make room for a new one. Connections from a trusted proxy are exempt from all three:
// the proxy gathers whole requests itself, and its clients are told apart by X-Forwarded-For.
//
// Runs on the io thread (serve.cpp): its io_context has that one thread; the handler, the hooks
// and the Responder are called there.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/beast/http.hpp>
#include <boost/optional.hpp>

namespace pellucor::service {

namespace http = boost::beast::http;

// A Beast body type: an immutable buffer shared by every message that holds it (null: empty).
struct SharedBody {
  using value_type = std::shared_ptr<const std::string>;

  static std::uint64_t size(const value_type& body) { return body ? body->size() : 0; }

  class writer {
   public:
    using const_buffers_type = boost::asio::const_buffer;
    template <bool isRequest, class Fields>
    writer(const http::header<isRequest, Fields>&, const value_type& body) : body_(body) {}
    void init(boost::beast::error_code& ec) { ec = {}; }
    boost::optional<std::pair<const_buffers_type, bool>> get(boost::beast::error_code& ec) {
      ec = {};
      if (!body_ || body_->empty()) return boost::none;
      return {{const_buffers_type(body_->data(), body_->size()), false}};
    }

   private:
    const value_type& body_;
  };
};

using Request = http::request<http::string_body>;
using Response = http::response<SharedBody>;

// The way back to the client of one request. Copies share one exchange.
class Responder {
 public:
  struct Exchange;
  explicit Responder(std::shared_ptr<Exchange> exchange) : exchange_(std::move(exchange)) {}

  // Completes the request; may be called at once or later, on the io thread. Calls after the
  // first have no effect.
  void operator()(Response response) const;
  // The client's address ("127.0.0.1", "::1"): the peer's, or for a request that came through
  // a trusted proxy the last address its X-Forwarded-For header holds (the one the proxy added).
  const std::string& Client() const;
  // Runs `gone` if the client hangs up before the response went out (posted at once when it
  // already has); never after the response.
  void OnGone(std::function<void()> gone) const;

 private:
  std::shared_ptr<Exchange> exchange_;
};

using HttpHandler = std::function<void(const Request&, Responder)>;

// One finished exchange, for the access log: status 499 when the client went away before the
// response, bytes as written (header and body).
struct ExchangeRecord {
  std::string client;
  std::string method;  // "-" when the request could not be read
  std::string target;
  int status = 0;
  uint64_t bytes = 0;
  double milliseconds = 0;  // from the whole request read to the last byte written
};

struct HttpServerSettings {
  size_t maxBodyBytes = 64 * 1024;
  size_t maxHeaderBytes = 16 * 1024;
  std::chrono::milliseconds readTimeout{10000};  // a whole request, headers and body
  size_t maxConnections = 4096;
  size_t maxConnectionsPerClient = 32;  // 0: no limit
  // How long a connection may take to send its request header while more than half of the
  // slots are taken.
  std::chrono::milliseconds idleHeaderTimeout{2000};
  std::vector<boost::asio::ip::address> trustedProxies;
  // Called for every exchange that ended (answered, refused, or left by the client).
  std::function<void(const ExchangeRecord&)> onExchange;
  // Called for every connection closed before it sent a request: "client_limit" (over the
  // per-client limit), "idle" (too slow while slots ran short), "full" (no slot and none to
  // free), "evicted" (closed to make room for a new one).
  std::function<void(const char* reason)> onRefused;
};

class HttpServer {
 public:
  // `io` is run by one thread, the io thread: nothing here takes a lock.
  HttpServer(boost::asio::io_context& io, HttpServerSettings settings, HttpHandler handler);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Starts listening on address:port (port 0: the system picks); false with `*error` set when
  // the address cannot be had.
  bool Listen(const std::string& address, uint16_t port, std::string* error);
  uint16_t Port() const;
  size_t Connections() const;  // open now
  // Stops accepting; open connections end when their current exchange does.
  void Stop();

  struct Impl;  // shared with the connections

 private:
  std::shared_ptr<Impl> impl_;
};

// A complete response: status, content type and body; Content-Length set.
Response MakeResponse(http::status status, const std::string& contentType, std::string body);
// The same over a buffer that is shared, not copied.
Response MakeResponse(http::status status, const std::string& contentType,
                      std::shared_ptr<const std::string> body);
// The size of the header block `response` goes out with: status line, fields, empty line (the
// Connection field the server may add is not counted).
size_t HeaderBlockSize(const Response& response);

}  // namespace pellucor::service
