#include "support/fake_http_server.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketLength = int;
constexpr int kSendFlags = 0;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketLength = socklen_t;
// A client that closed early makes a send fail, not end the test program with SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

namespace pellucor::testing {
namespace {

#if defined(_WIN32)
void CloseSocket(intptr_t s) {
  closesocket(static_cast<SOCKET>(s));
}
struct WinsockInit {
  WinsockInit() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
};
#else
void CloseSocket(intptr_t s) {
  ::close(static_cast<int>(s));
}
struct WinsockInit {};
#endif

bool IEquals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

void SendAll(intptr_t s, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const int n =
        ::send(s, data.data() + sent,
               static_cast<int>(std::min<size_t>(data.size() - sent, 1 << 20)), kSendFlags);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
  for (const std::string& line : headerLines) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos && IEquals(line.substr(0, colon), name)) {
      size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') ++v;
      return line.substr(v);
    }
  }
  return {};
}

FakeHttpServer::FakeHttpServer(int port) {
  [[maybe_unused]] static WinsockInit init;
  listener_ = static_cast<intptr_t>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener_, 16) != 0) {
    port_ = 0;
    acceptThread_ = std::thread([] {});
    return;
  }
  SocketLength len = sizeof addr;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

FakeHttpServer::~FakeHttpServer() {
  if (port_ == 0) {
    acceptThread_.join();
    CloseSocket(listener_);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  work_.notify_all();
  // Wake the accept loop with a connection of our own, then close.
  const intptr_t s = static_cast<intptr_t>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  CloseSocket(s);
  acceptThread_.join();
  CloseSocket(listener_);
  for (std::thread& w : workers_) w.join();
}

std::string FakeHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void FakeHttpServer::Enqueue(std::string rawReply) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back({std::move(rawReply)});
}

void FakeHttpServer::EnqueuePaced(std::string rawReply, size_t bytesPerStep, int stepMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back({std::move(rawReply), bytesPerStep, stepMs});
}

void FakeHttpServer::EnqueueSilence() {
  std::lock_guard<std::mutex> lock(mutex_);
  Scripted silence;
  silence.silent = true;
  queue_.push_back(std::move(silence));
}

void FakeHttpServer::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<RecordedRequest> FakeHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FakeHttpServer::KeepRequests(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keepRequests_ = keep;
}

std::string FakeHttpServer::Reply(const std::string& status, const std::string& headerLines,
                                  const std::string& body) {
  return "HTTP/1.1 " + status + "\r\n" + headerLines +
         "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

void FakeHttpServer::AcceptLoop() {
  for (;;) {
    const intptr_t client = static_cast<intptr_t>(::accept(listener_, nullptr, nullptr));
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      CloseSocket(client);
      return;
    }
    if (client < 0) continue;
    accepted_.push_back(client);
    // Each idle worker takes one connection.
    if (accepted_.size() > idleWorkers_) workers_.emplace_back([this] { WorkLoop(); });
    work_.notify_one();
  }
}

void FakeHttpServer::WorkLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++idleWorkers_;
    work_.wait(lock, [this] { return stopping_ || !accepted_.empty(); });
    --idleWorkers_;
    if (stopping_) break;
    const intptr_t client = accepted_.front();
    accepted_.pop_front();
    lock.unlock();
    Serve(client);
    lock.lock();
  }
  for (const intptr_t client : accepted_) CloseSocket(client);
  accepted_.clear();
}

void FakeHttpServer::Serve(intptr_t client) {
  // A client that stops sending does not hold the server (and the test) forever.
#if defined(_WIN32)
  const DWORD timeout = 10000;
#else
  const timeval timeout{10, 0};
#endif
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
  // Read the head, then as many body bytes as Content-Length says.
  RecordedRequest r;
  char buf[65536];
  size_t headEnd = std::string::npos;
  size_t want = 0;
  for (;;) {
    if (headEnd != std::string::npos && r.raw.size() >= headEnd + 4 + want) break;
    const int n = ::recv(client, buf, sizeof buf, 0);
    if (n <= 0) break;
    r.raw.append(buf, static_cast<size_t>(n));
    if (headEnd == std::string::npos && (headEnd = r.raw.find("\r\n\r\n")) != std::string::npos) {
      size_t pos = r.raw.find("\r\n");
      r.requestLine = r.raw.substr(0, pos);
      while (pos < headEnd) {
        const size_t next = r.raw.find("\r\n", pos + 2);
        r.headerLines.push_back(r.raw.substr(pos + 2, next - pos - 2));
        pos = next;
      }
      const std::string length = r.Header("Content-Length");
      want = length.empty() ? 0 : std::stoul(length);
    }
  }
  if (headEnd != std::string::npos) r.body = r.raw.substr(headEnd + 4);
  const size_t sp1 = r.requestLine.find(' '), sp2 = r.requestLine.rfind(' ');
  if (sp1 != std::string::npos && sp2 > sp1) {
    r.method = r.requestLine.substr(0, sp1);
    r.target = r.requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
  }

  Scripted reply;
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (r.raw.empty()) {
      CloseSocket(client);
      return;
    }
    if (keepRequests_) requests_.push_back(r);
    if (!queue_.empty()) {
      reply = std::move(queue_.front());
      queue_.pop_front();
    } else {
      handler = handler_;
    }
  }
  if (reply.bytes.empty() && !reply.silent)
    reply.bytes = handler ? handler(r) : Reply("404 Not Found", "", "");
  Send(client, reply);
  CloseSocket(client);
}

void FakeHttpServer::Send(intptr_t client, const Scripted& reply) {
  if (reply.bytesPerStep == 0 && !reply.silent) {
    SendAll(client, reply.bytes);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (reply.silent) {
    stopped_.wait(lock, [this] { return stopping_; });
    return;
  }
  for (size_t at = 0; at < reply.bytes.size() && !stopping_; at += reply.bytesPerStep) {
    lock.unlock();
    const std::string step = reply.bytes.substr(at, reply.bytesPerStep);
    const bool sent = ::send(client, step.data(), static_cast<int>(step.size()), kSendFlags) ==
                      static_cast<int>(step.size());
    lock.lock();
    // A client that gave up (the send fails once it closed) ends the reply.
    if (!sent) return;
    if (at + reply.bytesPerStep < reply.bytes.size())
      stopped_.wait_for(lock, std::chrono::milliseconds(reply.stepMs),
                        [this] { return stopping_; });
  }
}

}  // namespace pellucor::testing
