// Inside the HTTP server (http_server.h), shared by its two files: what the server keeps of all
// its connections (HttpServer::Impl: the acceptor, the slot counts, the connections waiting for
// a request header), one client connection, and the exchange a Responder answers. Runs on the
// io thread (serve.cpp), like the server.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>

#include "service/http/http_server.h"

namespace pellucor::service {

class Connection;

// An IPv4 address an IPv6 socket gives as ::ffff:a.b.c.d, as a.b.c.d; any other as it is.
boost::asio::ip::address PlainAddress(const boost::asio::ip::address& address);

struct HttpServer::Impl : std::enable_shared_from_this<Impl> {
  using Clock = std::chrono::steady_clock;

  Impl(boost::asio::io_context& io, HttpServerSettings s, HttpHandler h)
      : settings(std::move(s)),
        handler(std::move(h)),
        acceptor(io),
        retryTimer(io),
        sweepTimer(io) {}

  void Accept();
  void OnAccept(boost::beast::error_code ec, boost::asio::ip::tcp::socket socket);
  bool IsTrusted(const boost::asio::ip::address& address) const;
  void Refused(const char* reason) {
    if (settings.onRefused) settings.onRefused(reason);
  }

  // Connections waiting for a request header, oldest first; trusted ones are never listed.
  struct Waiting {
    std::weak_ptr<Connection> connection;
    Clock::time_point since;
  };
  using WaitingList = std::list<Waiting>;

  // Takes the connection that has waited longest off the list and closes it; with
  // `waitingSince`, only one that has waited since then or longer.
  bool CloseOldestWaiting(const char* reason,
                          std::optional<Clock::time_point> waitingSince = std::nullopt);
  void StartSweep();
  void Sweep();

  const HttpServerSettings settings;
  HttpHandler handler;
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer retryTimer;
  boost::asio::steady_timer sweepTimer;

  size_t connections = 0;
  std::unordered_map<std::string, size_t> perAddress;
  WaitingList waiting;
  bool sweeping = false;
};

// One client connection: reads one request at a time within the read deadline, hands it to the
// handler, watches for a hang-up while the handler works, and writes the response when it comes.
// It holds one of the server's slots while it lives.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(boost::asio::ip::tcp::socket socket, std::shared_ptr<HttpServer::Impl> server,
             boost::asio::ip::address address, bool trusted);
  ~Connection();

  // Reads the next request.
  void Read();
  // Closes this one from another connection's handler (or the acceptor's), once that handler
  // has returned.
  void CloseFromOutside();
  // Where this connection stands in the server's waiting list, while it waits for a header.
  std::optional<HttpServer::Impl::WaitingList::iterator>& WaitingAt() { return waitingAt_; }
  // Writes the response to the request being handled (nothing once closed).
  void Answer(std::shared_ptr<Response> response) { Write(std::move(response)); }
  boost::asio::any_io_executor Executor() { return stream_.get_executor(); }

 private:
  using Clock = std::chrono::steady_clock;

  void SetWaiting(bool waiting);
  void OnHeader(boost::beast::error_code ec);
  void OnRead(boost::beast::error_code ec);
  void WatchForHangUp();
  void Gone();
  void Refuse(http::status status, const std::string& text);
  void Write(std::shared_ptr<Response> response);
  void WriteSome(std::shared_ptr<Response> response,
                 std::shared_ptr<http::response_serializer<SharedBody>> serializer);
  void Record();
  void Close();

  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  Request request_;
  std::shared_ptr<HttpServer::Impl> server_;
  const boost::asio::ip::address address_;
  const std::string addressText_;
  const bool trusted_;
  std::optional<HttpServer::Impl::WaitingList::iterator> waitingAt_;
  std::weak_ptr<Responder::Exchange> exchange_;
  std::string client_, method_, target_;
  Clock::time_point started_;
  uint64_t written_ = 0;
  int status_ = 0;
  bool keepAlive_ = false;
  bool head_ = false;
  bool watching_ = false;
  bool recorded_ = false;
  bool closed_ = false;
};

// One request and its answer, shared by the copies of its Responder.
struct Responder::Exchange {
  Exchange(std::shared_ptr<Connection> c, std::string client)
      : connection(std::move(c)), client(std::move(client)) {}
  std::shared_ptr<Connection> connection;
  const std::string client;
  bool answered = false;
  bool gone = false;
  std::vector<std::function<void()>> onGone;
};

}  // namespace pellucor::service
