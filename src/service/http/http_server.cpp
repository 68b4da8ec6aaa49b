#include "service/http/http_server.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <list>
#include <optional>
#include <string_view>
#include <unordered_map>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>

#include "service/core/log.h"

namespace pellucor::service {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// How long a response may make no progress before the connection is dropped.
constexpr std::chrono::seconds kWriteIdleTimeout{30};
// How often connections waiting for a request header are looked over while slots run short.
constexpr std::chrono::milliseconds kSweepInterval{200};
// How long to wait before accepting again when the process is out of file descriptors.
constexpr std::chrono::milliseconds kAcceptRetry{50};

asio::ip::address Plain(const asio::ip::address& a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
  return a;
}

// The last address of the last X-Forwarded-For header: the one the proxy in front added. Nothing
// when there is none or it is not a plain address.
std::optional<asio::ip::address> ForwardedFor(const Request& request) {
  std::string_view last;
  const auto range = request.equal_range("X-Forwarded-For");
  for (auto field = range.first; field != range.second; ++field)
    last = std::string_view(field->value().data(), field->value().size());
  if (last.empty()) return std::nullopt;
  last = last.substr(last.find_last_of(',') + 1);  // npos + 1 == 0
  const size_t start = last.find_first_not_of(" \t");
  if (start == std::string_view::npos) return std::nullopt;
  last = last.substr(start, last.find_last_not_of(" \t") - start + 1);
  beast::error_code ec;
  const asio::ip::address address = asio::ip::make_address(std::string(last), ec);
  if (ec) return std::nullopt;
  return Plain(address);
}

class Connection;

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

struct HttpServer::Impl : std::enable_shared_from_this<Impl> {
  Impl(asio::io_context& io, HttpServerSettings s, HttpHandler h)
      : io(io),
        settings(std::move(s)),
        handler(std::move(h)),
        acceptor(io),
        retryTimer(io),
        sweepTimer(io) {}

  void Accept();
  void OnAccept(beast::error_code ec, tcp::socket socket);
  bool IsTrusted(const asio::ip::address& address) const {
    return std::find(settings.trustedProxies.begin(), settings.trustedProxies.end(), address) !=
           settings.trustedProxies.end();
  }
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

  asio::io_context& io;
  const HttpServerSettings settings;
  HttpHandler handler;
  tcp::acceptor acceptor;
  asio::steady_timer retryTimer;
  asio::steady_timer sweepTimer;

  size_t connections = 0;
  std::unordered_map<std::string, size_t> perAddress;
  WaitingList waiting;
  bool sweeping = false;
};

struct Responder::Exchange {
  Exchange(std::shared_ptr<Connection> c, std::string client)
      : connection(std::move(c)), client(std::move(client)) {}
  std::shared_ptr<Connection> connection;
  const std::string client;
  bool answered = false;
  bool gone = false;
  std::vector<std::function<void()>> onGone;
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, std::shared_ptr<HttpServer::Impl> server,
             asio::ip::address address, bool trusted)
      : stream_(std::move(socket)),
        server_(std::move(server)),
        address_(std::move(address)),
        addressText_(address_.to_string()),
        trusted_(trusted) {
    ++server_->connections;
    ++server_->perAddress[addressText_];
  }

  ~Connection() {
    if (waitingAt_) server_->waiting.erase(*waitingAt_);
    --server_->connections;
    if (--server_->perAddress[addressText_] == 0) server_->perAddress.erase(addressText_);
  }

  void Read() {
    parser_.emplace();
    parser_->body_limit(server_->settings.maxBodyBytes);
    parser_->header_limit(static_cast<std::uint32_t>(server_->settings.maxHeaderBytes));
    stream_.expires_after(server_->settings.readTimeout);
    SetWaiting(true);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHeader(ec); });
  }

  // Closes this one from another connection's handler (or the acceptor's), once that handler
  // has returned.
  void CloseFromOutside() {
    asio::post(stream_.get_executor(), [self = shared_from_this()] { self->Close(); });
  }

  std::optional<HttpServer::Impl::WaitingList::iterator>& WaitingAt() { return waitingAt_; }

  void Answer(std::shared_ptr<Response> response) { Write(std::move(response)); }

  auto Executor() { return stream_.get_executor(); }

 private:
  void SetWaiting(bool waiting) {
    if (trusted_) return;
    if (waiting && !waitingAt_) {
      waitingAt_ =
          server_->waiting.insert(server_->waiting.end(), {weak_from_this(), Clock::now()});
    } else if (!waiting && waitingAt_) {
      server_->waiting.erase(*waitingAt_);
      waitingAt_.reset();
    }
  }

  void OnHeader(beast::error_code ec) {
    SetWaiting(false);
    if (ec || parser_->is_done()) return OnRead(ec);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
  }

  void OnRead(beast::error_code ec) {
    if (closed_) return;
    started_ = Clock::now();
    written_ = 0;
    recorded_ = false;
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
    method_ = std::string(request_.method_string());
    target_ = std::string(request_.target());
    keepAlive_ = request_.keep_alive();
    head_ = request_.method() == http::verb::head;
    std::string client = addressText_;
    if (trusted_)
      if (const auto forwarded = ForwardedFor(request_)) client = forwarded->to_string();
    client_ = client;
    auto exchange = std::make_shared<Responder::Exchange>(shared_from_this(), std::move(client));
    exchange_ = exchange;
    server_->handler(request_, Responder(exchange));
    // A reply given at once (from the cache, say) is already being written: only a request
    // left waiting needs the watch, which costs a system call each time it starts.
    if (!exchange->answered && !closed_) WatchForHangUp();
  }

  // While the handler works, a client that hangs up is noticed: its socket turns readable with
  // nothing to read. Bytes that come instead are its next request; it is still there.
  void WatchForHangUp() {
    watching_ = true;
    stream_.socket().async_wait(
        tcp::socket::wait_read, [self = shared_from_this()](beast::error_code ec) {
          if (!self->watching_ || ec == asio::error::operation_aborted) return;
          self->watching_ = false;
          if (!ec) {
            char c;
            const ssize_t n =
                ::recv(self->stream_.socket().native_handle(), &c, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n > 0) return;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
              return self->WatchForHangUp();
          }
          self->Gone();
        });
  }

  void Gone() {
    std::vector<std::function<void()>> callbacks;
    if (const auto exchange = exchange_.lock()) {
      if (exchange->answered) return;
      exchange->gone = true;
      callbacks.swap(exchange->onGone);
    }
    status_ = 499;
    Record();
    Close();
    for (auto& callback : callbacks) callback();
  }

  void Refuse(http::status status, const std::string& text) {
    keepAlive_ = false;
    head_ = false;
    if (parser_->is_header_done()) {
      method_ = std::string(parser_->get().method_string());
      target_ = std::string(parser_->get().target());
    } else {
      method_ = "-";
      target_.clear();
    }
    client_ = addressText_;
    Write(std::make_shared<Response>(MakeResponse(status, "text/plain; charset=utf-8", text)));
  }

  void Write(std::shared_ptr<Response> response) {
    if (closed_) return;
    if (watching_) {
      watching_ = false;
      beast::error_code ignored;
      stream_.socket().cancel(ignored);  // the hang-up watch
    }
    response->keep_alive(keepAlive_);
    response->prepare_payload();
    status_ = response->result_int();
    auto serializer = std::make_shared<http::response_serializer<SharedBody>>(*response);
    serializer->split(head_);  // HEAD: the header alone
    WriteSome(std::move(response), std::move(serializer));
  }

  // One gathered write at a time (header and the shared body in one writev), each within the
  // idle timeout, so a slow reader is dropped only when it stops reading.
  void WriteSome(std::shared_ptr<Response> response,
                 std::shared_ptr<http::response_serializer<SharedBody>> serializer) {
    stream_.expires_after(kWriteIdleTimeout);
    http::async_write_some(
        stream_, *serializer,
        [self = shared_from_this(), response, serializer](beast::error_code ec, size_t n) mutable {
          self->written_ += n;
          const bool done = self->head_ ? serializer->is_header_done() : serializer->is_done();
          if (ec || done) {
            self->Record();
            if (ec || !self->keepAlive_) {
              self->Close();
            } else {
              self->Read();
            }
            return;
          }
          self->WriteSome(std::move(response), std::move(serializer));
        });
  }

  void Record() {
    if (recorded_ || !server_->settings.onExchange) return;
    recorded_ = true;
    ExchangeRecord record;
    record.client = client_;
    record.method = method_;
    record.target = target_;
    record.status = status_;
    record.bytes = written_;
    record.milliseconds =
        std::chrono::duration<double, std::milli>(Clock::now() - started_).count();
    server_->settings.onExchange(record);
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    watching_ = false;
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.socket().close(ignored);
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  Request request_;
  std::shared_ptr<HttpServer::Impl> server_;
  const asio::ip::address address_;
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

}  // namespace

void Responder::operator()(Response response) const {
  if (exchange_->answered || exchange_->gone) return;
  exchange_->answered = true;
  exchange_->onGone.clear();
  exchange_->connection->Answer(std::make_shared<Response>(std::move(response)));
}

const std::string& Responder::Client() const {
  return exchange_->client;
}

void Responder::OnGone(std::function<void()> gone) const {
  if (exchange_->answered) return;
  if (exchange_->gone) {
    asio::post(exchange_->connection->Executor(), std::move(gone));
    return;
  }
  exchange_->onGone.push_back(std::move(gone));
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
  const asio::ip::address address = Plain(peer.address());
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
