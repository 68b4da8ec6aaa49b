// A small HTTP/1.1 server on Boost.Beast: one io_context, no thread per connection, so a request
// that waits for the swarm holds nothing but its socket. Each connection reads one request at a
// time within a deadline, hands it to the handler, and writes the handler's response whenever
// it comes; keep-alive is honoured.
//
// Refused before the handler sees them: a body over the limit (413), a header block over the
// limit (431), anything that does not parse as HTTP (400). A client that sends too slowly is
// disconnected when the read deadline passes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/beast/http.hpp>

namespace pellucor::service {

namespace http = boost::beast::http;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;
// Completes a request; may be called at once or later, from any thread (the write runs on the
// connection's executor). Calling it more than once has no effect after the first.
using Responder = std::function<void(Response)>;
using HttpHandler = std::function<void(const Request&, Responder)>;

struct HttpServerSettings {
  size_t maxBodyBytes = 64 * 1024;
  size_t maxHeaderBytes = 16 * 1024;
  std::chrono::milliseconds readTimeout{10000};  // a whole request, headers and body
  size_t maxConnections = 4096;                  // more are closed at once
};

class HttpServer {
 public:
  HttpServer(boost::asio::io_context& io, HttpServerSettings settings, HttpHandler handler);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Starts listening on address:port (port 0: the system picks); false with `*error` set when
  // the address cannot be had.
  bool Listen(const std::string& address, uint16_t port, std::string* error);
  uint16_t Port() const;
  // Stops accepting; open connections end when their current exchange does.
  void Stop();

  struct Impl;  // shared with the connections

 private:
  std::shared_ptr<Impl> impl_;
};

// A complete response: status, content type and body; Content-Length set.
Response MakeResponse(http::status status, const std::string& contentType, std::string body);

}  // namespace pellucor::service
