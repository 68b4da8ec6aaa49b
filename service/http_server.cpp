#include "service/http_server.h"

#include <atomic>
#include <optional>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>

namespace pellucor::service {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;

namespace {

// How long a response may take to leave before the connection is dropped.
constexpr std::chrono::seconds kWriteTimeout{30};

}  // namespace

Response MakeResponse(http::status status, const std::string& contentType, std::string body) {
  Response r{status, 11};
  r.set(http::field::server, "pellucor-service");
  if (!contentType.empty()) r.set(http::field::content_type, contentType);
  r.body() = std::move(body);
  r.prepare_payload();
  return r;
}

struct HttpServer::Impl : std::enable_shared_from_this<Impl> {
  Impl(asio::io_context& io, HttpServerSettings s, HttpHandler h)
      : io(io), settings(s), handler(std::move(h)), acceptor(io) {}

  void Accept();

  asio::io_context& io;
  HttpServerSettings settings;
  HttpHandler handler;
  tcp::acceptor acceptor;
  std::atomic<size_t> connections{0};
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, std::shared_ptr<HttpServer::Impl> server)
      : stream_(std::move(socket)), server_(std::move(server)) {
    ++server_->connections;
  }
  ~Connection() { --server_->connections; }

  void Read() {
    parser_.emplace();
    parser_->body_limit(server_->settings.maxBodyBytes);
    parser_->header_limit(static_cast<std::uint32_t>(server_->settings.maxHeaderBytes));
    stream_.expires_after(server_->settings.readTimeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
  }

 private:
  void OnRead(beast::error_code ec) {
    if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
        ec == asio::error::operation_aborted) {
      Close();
      return;
    }
    if (ec == http::error::body_limit) {
      Refuse(http::status::payload_too_large, "request body too large\n");
      return;
    }
    if (ec == http::error::header_limit) {
      Refuse(http::status::request_header_fields_too_large, "request header too large\n");
      return;
    }
    if (ec) {
      // A broken request gets an answer when the client is still there to read it.
      if (ec.category() == http::make_error_code(http::error::bad_method).category())
        Refuse(http::status::bad_request, "bad request\n");
      else
        Close();
      return;
    }
    stream_.expires_never();  // the handler may wait for the swarm
    request_ = parser_->release();
    keepAlive_ = request_.keep_alive();
    auto answered = std::make_shared<std::atomic<bool>>(false);
    Responder respond = [self = shared_from_this(), answered](Response r) {
      if (answered->exchange(true)) return;
      auto response = std::make_shared<Response>(std::move(r));
      asio::dispatch(self->stream_.get_executor(), [self, response] { self->Write(response); });
    };
    server_->handler(request_, std::move(respond));
  }

  void Refuse(http::status status, const std::string& text) {
    keepAlive_ = false;
    Write(std::make_shared<Response>(MakeResponse(status, "text/plain; charset=utf-8", text)));
  }

  void Write(std::shared_ptr<Response> response) {
    response->keep_alive(keepAlive_);
    response->prepare_payload();
    stream_.expires_after(kWriteTimeout);
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code ec, size_t) {
                        if (ec || !self->keepAlive_) {
                          self->Close();
                          return;
                        }
                        self->Read();
                      });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.socket().close(ignored);
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  Request request_;
  bool keepAlive_ = false;
  std::shared_ptr<HttpServer::Impl> server_;
};

}  // namespace

void HttpServer::Impl::Accept() {
  acceptor.async_accept(asio::make_strand(io),
                        [self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
                          if (ec == asio::error::operation_aborted || !self->acceptor.is_open())
                            return;
                          if (!ec) {
                            if (self->connections >= self->settings.maxConnections) {
                              beast::error_code ignored;
                              socket.close(ignored);
                            } else {
                              std::make_shared<Connection>(std::move(socket), self)->Read();
                            }
                          }
                          self->Accept();
                        });
}

HttpServer::HttpServer(asio::io_context& io, HttpServerSettings settings, HttpHandler handler)
    : impl_(std::make_shared<Impl>(io, settings, std::move(handler))) {}

HttpServer::~HttpServer() {
  Stop();
}

bool HttpServer::Listen(const std::string& address, uint16_t port, std::string* error) {
  beast::error_code ec;
  const auto ip = asio::ip::make_address(address, ec);
  if (ec) {
    if (error) *error = "not an IP address: " + address;
    return false;
  }
  const tcp::endpoint endpoint(ip, port);
  tcp::acceptor& a = impl_->acceptor;
  a.open(endpoint.protocol(), ec);
  if (!ec) a.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) a.bind(endpoint, ec);
  if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    if (error) *error = address + ":" + std::to_string(port) + ": " + ec.message();
    beast::error_code ignored;
    a.close(ignored);
    return false;
  }
  impl_->Accept();
  return true;
}

uint16_t HttpServer::Port() const {
  beast::error_code ec;
  const auto endpoint = impl_->acceptor.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

void HttpServer::Stop() {
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
}

}  // namespace pellucor::service
