#include "service/http/connection.h"

#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <iterator>
#include <string_view>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/string.hpp>

namespace pellucor::service {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;

namespace {

// How long a response may make no progress before the connection is dropped.
constexpr std::chrono::seconds kWriteIdleTimeout{30};

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
  return PlainAddress(address);
}

// What is wrong with a request's framing (RFC 9112), read from its header alone; ok when
// nothing is. A body whose length the server cannot tell would be read as the next request (a
// request smuggled past a proxy that reads it the other way), so such a request is answered and
// its connection closed.
//   Transfer-Encoding other than exactly "chunked": 501 when it ends with chunked (a coding
//   this server does not do), else 400; on HTTP/1.0 any Transfer-Encoding is 400.
//   HTTP/1.1 without a Host field, or with more than one: 400.
http::status FramingProblem(const http::request_parser<http::string_body>& parser) {
  const auto& request = parser.get();
  const auto codings = request.equal_range(http::field::transfer_encoding);
  if (codings.first != codings.second) {
    if (request.version() < 11) return http::status::bad_request;
    std::string all;
    for (auto field = codings.first; field != codings.second; ++field)
      all += (all.empty() ? "" : ",") + std::string(field->value());
    std::string lower;
    for (const char c : all)
      if (c != ' ' && c != '\t')
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower != "chunked") {
      const bool endsChunked = lower.size() > 8 && lower.substr(lower.size() - 8) == ",chunked";
      return endsChunked ? http::status::not_implemented : http::status::bad_request;
    }
  }
  if (request.version() >= 11) {
    const auto hosts = request.equal_range(http::field::host);
    if (std::distance(hosts.first, hosts.second) != 1) return http::status::bad_request;
  }
  return http::status::ok;
}

const char* FramingText(http::status problem) {
  return problem == http::status::not_implemented ? "transfer coding not implemented\n"
                                                  : "bad request framing\n";
}

bool ExpectsContinue(const Request& request) {
  const auto expect = request[http::field::expect];
  return expect.size() == 12 && beast::iequals(expect, "100-continue");
}

}  // namespace

asio::ip::address PlainAddress(const asio::ip::address& a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
  return a;
}

Connection::Connection(tcp::socket socket, std::shared_ptr<HttpServer::Impl> server,
                       asio::ip::address address, bool trusted)
    : stream_(std::move(socket)),
      server_(std::move(server)),
      address_(std::move(address)),
      addressText_(address_.to_string()),
      trusted_(trusted) {
  ++server_->connections;
  ++server_->perAddress[addressText_];
}

Connection::~Connection() {
  if (waitingAt_) server_->waiting.erase(*waitingAt_);
  --server_->connections;
  if (--server_->perAddress[addressText_] == 0) server_->perAddress.erase(addressText_);
}

void Connection::Read() {
  parser_.emplace();
  parser_->body_limit(server_->settings.maxBodyBytes);
  parser_->header_limit(static_cast<std::uint32_t>(server_->settings.maxHeaderBytes));
  stream_.expires_after(server_->settings.readTimeout);
  SetWaiting(true);
  http::async_read_header(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHeader(ec); });
}

void Connection::CloseFromOutside() {
  asio::post(stream_.get_executor(), [self = shared_from_this()] { self->Close(); });
}

void Connection::SetWaiting(bool waiting) {
  if (trusted_) return;
  if (waiting && !waitingAt_) {
    waitingAt_ = server_->waiting.insert(server_->waiting.end(), {weak_from_this(), Clock::now()});
  } else if (!waiting && waitingAt_) {
    server_->waiting.erase(*waitingAt_);
    waitingAt_.reset();
  }
}

void Connection::OnHeader(beast::error_code ec) {
  SetWaiting(false);
  const http::status problem = ec ? http::status::ok : FramingProblem(*parser_);
  if (problem != http::status::ok) return Refuse(problem, FramingText(problem));
  if (ec || parser_->is_done()) return OnRead(ec);
  auto readBody = [self = shared_from_this()] {
    http::async_read(self->stream_, self->buffer_, *self->parser_,
                     [self](beast::error_code ec, size_t) { self->OnRead(ec); });
  };
  if (!ExpectsContinue(parser_->get())) return readBody();
  // The client waits for leave to send its body.
  static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
  asio::async_write(stream_, asio::buffer(kContinue),
                    [self = shared_from_this(), readBody](beast::error_code ec, size_t) {
                      ec ? self->Close() : readBody();
                    });
}

void Connection::OnRead(beast::error_code ec) {
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
void Connection::WatchForHangUp() {
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

void Connection::Gone() {
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

void Connection::Refuse(http::status status, const std::string& text) {
  started_ = Clock::now();
  written_ = 0;
  recorded_ = false;
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

void Connection::Write(std::shared_ptr<Response> response) {
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
void Connection::WriteSome(std::shared_ptr<Response> response,
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

void Connection::Record() {
  if (recorded_ || !server_->settings.onExchange) return;
  recorded_ = true;
  ExchangeRecord record;
  record.client = client_;
  record.method = method_;
  record.target = target_;
  record.status = status_;
  record.bytes = written_;
  record.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - started_).count();
  server_->settings.onExchange(record);
}

void Connection::Close() {
  if (closed_) return;
  closed_ = true;
  watching_ = false;
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream_.socket().close(ignored);
}

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

}  // namespace pellucor::service
