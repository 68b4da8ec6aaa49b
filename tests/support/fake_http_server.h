// A scripted HTTP server for tests: listens on 127.0.0.1 on a port the system picks, records
// every request byte for byte, and answers each with raw bytes chosen by the test. It runs on
// both builds (BSD sockets, Winsock under Wine). Each connection carries one exchange and is
// closed after the reply, so a reply without Content-Length ends at the close. A reply can
// also be paced (a few bytes at a time, to play a slow or trickling service) or withheld (a
// service that accepts and never answers); such connections end when the server is destroyed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pellucor::testing {

struct RecordedRequest {
  std::string raw;          // everything received: request line, headers, body
  std::string requestLine;  // "GET /x HTTP/1.1"
  std::string method, target;
  std::vector<std::string> headerLines;  // in the order sent, without "\r\n"
  std::string body;

  // The value of the first header with this name (ASCII case ignored), or "".
  std::string Header(const std::string& name) const;
};

class FakeHttpServer {
 public:
  // Computes each reply; the default answers 404.
  using Handler = std::function<std::string(const RecordedRequest&)>;

  // Listens on `port`, or on a port the system picks when it is 0; port() is 0 when the port
  // could not be had.
  explicit FakeHttpServer(int port = 0);
  ~FakeHttpServer();
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT" + path
  std::string Url(const std::string& path = "/") const;

  // Replies used in order, one per request, before the handler is asked.
  void Enqueue(std::string rawReply);
  // A reply sent `bytesPerStep` bytes at a time, the first step at once and then one step every
  // `stepMs` milliseconds.
  void EnqueuePaced(std::string rawReply, size_t bytesPerStep, int stepMs);
  // A request that is read and never answered.
  void EnqueueSilence();
  void SetHandler(Handler handler);
  // The requests received so far. A server told not to keep them (a benchmark's, which would
  // pile them up) keeps none from then on.
  std::vector<RecordedRequest> Requests() const;
  void KeepRequests(bool keep);

  // A complete reply with Content-Length: "HTTP/1.1 " + status + "\r\n" + headers + body.
  static std::string Reply(const std::string& status, const std::string& headerLines,
                           const std::string& body);

 private:
  struct Scripted {
    std::string bytes;
    size_t bytesPerStep = 0;  // 0: all at once
    int stepMs = 0;
    bool silent = false;
  };
  void AcceptLoop();
  void WorkLoop();
  void Serve(intptr_t client);
  void Send(intptr_t client, const Scripted& reply);

  intptr_t listener_ = -1;
  int port_ = 0;
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  std::condition_variable stopped_;  // wakes paced and silent replies when the server stops
  std::deque<Scripted> queue_;
  Handler handler_;
  std::vector<RecordedRequest> requests_;
  bool keepRequests_ = true;
  // Connections are served by worker threads that stay for the next one: a new thread starts
  // only when every worker is busy (a paced or withheld reply holds its worker).
  std::vector<std::thread> workers_;
  std::deque<intptr_t> accepted_;
  size_t idleWorkers_ = 0;
  std::condition_variable work_;
  bool stopping_ = false;
};

}  // namespace pellucor::testing
