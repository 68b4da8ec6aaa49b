#include "service/http/http_server.h"

#include <algorithm>
#include <cerrno>

#include "service/core/log.h"
#include "service/http/connection.h"

namespace pellucor::service {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// How often connections waiting for a request header are looked over while slots run short.
constexpr std::chrono::milliseconds kSweepInterval{200};
// How long to wait before accepting again when the process is out of file descriptors.
constexpr std::chrono::milliseconds kAcceptRetry{50};

}  // namespace

Response MakeResponse(http::status status, const std::string& contentType,
                      std::shared_ptr<const std::string> body) {
  Response r{status, 11};
  r.set(http::field::server, "pellucor-service");
  if (!contentType.empty()) r.set(http::field::content_type, contentType);
  r.body() = std::move(body);
  r.prepare_payload();
  return r;
}

Response MakeResponse(http::status status, const std::string& contentType, std::string body) {
  return MakeResponse(status, contentType, std::make_shared<const std::string>(std::move(body)));
}

size_t HeaderBlockSize(const Response& response) {
  // "HTTP/1.1 200 OK\r\n", one "Name: value\r\n" a field, "\r\n"
  size_t size = 9 + 3 + 1 + response.reason().size() + 2 + 2;
  for (const auto& field : response)
    size += field.name_string().size() + 2 + field.value().size() + 2;
  return size;
}

bool HttpServer::Impl::IsTrusted(const asio::ip::address& address) const {
  return std::find(settings.trustedProxies.begin(), settings.trustedProxies.end(), address) !=
         settings.trustedProxies.end();
}

bool HttpServer::Impl::CloseOldestWaiting(const char* reason,
                                          std::optional<Clock::time_point> waitingSince) {
  for (auto it = waiting.begin(); it != waiting.end(); ++it) {
    if (waitingSince && it->since > *waitingSince) return false;
    const std::shared_ptr<Connection> victim = it->connection.lock();
    if (!victim) continue;  // on its way out: its destructor takes it off the list
    victim->WaitingAt().reset();
    waiting.erase(it);
    victim->CloseFromOutside();
    Refused(reason);
    return true;
  }
  return false;
}

void HttpServer::Impl::StartSweep() {
  if (sweeping || connections * 2 <= settings.maxConnections) return;
  sweeping = true;
  sweepTimer.expires_after(kSweepInterval);
  sweepTimer.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (!ec) self->Sweep();
  });
}

void HttpServer::Impl::Sweep() {
  sweeping = false;
  if (!acceptor.is_open()) return;
  if (connections * 2 > settings.maxConnections) {
    const Clock::time_point cutoff = Clock::now() - settings.idleHeaderTimeout;
    while (CloseOldestWaiting("idle", cutoff)) {
    }
  }
  StartSweep();
}

void HttpServer::Impl::Accept() {
  acceptor.async_accept([self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
    self->OnAccept(ec, std::move(socket));
  });
}

void HttpServer::Impl::OnAccept(beast::error_code ec, tcp::socket socket) {
  if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
  if (ec) {
    const int e = ec.value();
    if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) {
      // Out of file descriptors: free one an idle connection holds, and wait a moment rather
      // than spin on a listening socket that stays readable.
      Log(LogLevel::kWarn, "accept_failed", {{"error", ec.message()}});
      CloseOldestWaiting("evicted");
      retryTimer.expires_after(kAcceptRetry);
      retryTimer.async_wait([self = shared_from_this()](beast::error_code error) {
        if (!error) self->Accept();
      });
      return;
    }
    Accept();
    return;
  }
  beast::error_code peerError;
  const tcp::endpoint peer = socket.remote_endpoint(peerError);
  if (peerError) {
    Accept();
    return;
  }
  const asio::ip::address address = PlainAddress(peer.address());
  const bool trusted = IsTrusted(address);
  bool admit = true;
  const auto it = perAddress.find(address.to_string());
  if (!trusted && settings.maxConnectionsPerClient > 0 && it != perAddress.end() &&
      it->second >= settings.maxConnectionsPerClient) {
    admit = false;
    Refused("client_limit");
  } else if (connections >= settings.maxConnections && !CloseOldestWaiting("evicted")) {
    admit = false;
    Refused("full");
  }
  if (admit) {
    std::make_shared<Connection>(std::move(socket), shared_from_this(), address, trusted)->Read();
    StartSweep();
  } else {
    beast::error_code ignored;
    socket.close(ignored);
  }
  Accept();
}

HttpServer::HttpServer(asio::io_context& io, HttpServerSettings settings, HttpHandler handler)
    : impl_(std::make_shared<Impl>(io, std::move(settings), std::move(handler))) {}

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

size_t HttpServer::Connections() const {
  return impl_->connections;
}

void HttpServer::Stop() {
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
  impl_->retryTimer.cancel();
  impl_->sweepTimer.cancel();
}

}  // namespace pellucor::service
