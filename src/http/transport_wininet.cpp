// The HTTP transport on the Windows Internet functions (wininet.dll).
#if !defined(_WIN32)
#error "transport_wininet.cpp is the Windows back end; other builds use transport_curl.cpp"
#endif

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/env.h"
#include "base/utility_win32.h"
#include "http/transport.h"

namespace pellucor {
namespace {

// Runs a request's blocking calls (send, read) on a thread of its own while the caller waits
// under the stall rule. A call that stalls is given up: the caller closes the request handle,
// which ends the call on Windows; Wine's WinInet keeps such a call waiting on its socket, so
// the caller does not wait for it and the thread finishes by itself whenever the call returns.
// A call works only on what it captured (copies and shared results), never on the caller's
// memory, since it may outlive the caller.
//
// A thread whose calls have all returned is kept for the next request (a few at most):
// starting one costs more than a small request under Wine.
class CallThread {
 public:
  CallThread() : state_(Take()) {}
  ~CallThread() { Release(std::move(state_)); }
  CallThread(const CallThread&) = delete;
  CallThread& operator=(const CallThread&) = delete;

  // Starts `call` on the thread (after the one in progress) and returns at once.
  void Post(std::function<void()> call) {
    std::lock_guard lock(state_->mutex);
    ++state_->started;
    state_->call = std::move(call);
    state_->wake.notify_all();
  }

  // Runs `call` and waits until it returns (true) or the watch runs out (false).
  bool Run(std::function<void()> call, const StallWatch& watch) {
    Post(std::move(call));
    std::unique_lock lock(state_->mutex);
    const uint64_t ticket = state_->started;
    for (;;) {
      if (state_->finished == ticket) return true;
      const uint32_t left = watch.MsLeft(TickCount());
      if (left == 0) return false;
      state_->done.wait_for(lock, std::chrono::milliseconds(left));
    }
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable wake, done;
    std::function<void()> call;
    uint64_t started = 0, finished = 0;
    bool owned = true;  // a CallThread holds it
    bool quit = false;
  };

  static void Loop(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->mutex);
    for (;;) {
      state->wake.wait(lock, [&] { return state->quit || state->call; });
      if (!state->call) return;  // quit, nothing left to run
      std::function<void()> c = std::move(state->call);
      state->call = nullptr;
      lock.unlock();
      c();
      c = nullptr;
      lock.lock();
      ++state->finished;
      state->done.notify_all();
      // The owner left while this call ran (it had been given up, or was about to return).
      if (!state->owned && state->finished == state->started) KeepOrEnd(state);
    }
  }

  // The threads kept for later requests (never destroyed: they may be taken until the end).
  struct Idle {
    std::mutex mutex;
    std::vector<std::shared_ptr<State>> states;
  };
  static constexpr size_t kKeptThreads = 2;  // the window's thread and the banner's
  static Idle& Kept() {
    static Idle* idle = new Idle;
    return *idle;
  }

  static std::shared_ptr<State> Take() {
    std::shared_ptr<State> state;
    {
      Idle& idle = Kept();
      std::lock_guard lock(idle.mutex);
      if (!idle.states.empty()) {
        state = std::move(idle.states.back());
        idle.states.pop_back();
      }
    }
    if (state) {
      std::lock_guard lock(state->mutex);
      state->owned = true;
      return state;
    }
    state = std::make_shared<State>();
    std::thread([state] { Loop(state); }).detach();
    return state;
  }

  static void Release(std::shared_ptr<State> state) {
    std::lock_guard lock(state->mutex);
    state->owned = false;
    if (state->finished == state->started) KeepOrEnd(state);
  }

  // A thread with no call left and no owner: kept, or ended when enough are kept. (The
  // state's mutex is held.)
  static void KeepOrEnd(const std::shared_ptr<State>& state) {
    Idle& idle = Kept();
    std::lock_guard lock(idle.mutex);
    if (idle.states.size() < kKeptThreads) {
      idle.states.push_back(state);
      return;
    }
    state->quit = true;
    state->wake.notify_all();
  }

  std::shared_ptr<State> state_;
};

class WinInetTransport final : public Transport {
 public:
  ~WinInetTransport() override { Close(); }

  bool OpenSession(const GbkText& agent, const std::optional<GbkText>& proxyList) override {
    if (proxyList) {
      session_.Reset(
          InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PROXY, proxyList->c_str(), "", 0));
    } else {
      session_.Reset(InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    }
    if (!session_) return false;
    // WinInet's own timeouts stay longer than the stall rule, which decides alone: a receive
    // timeout in the middle of the body would end it early and look like its end.
    DWORD ms = 2 * kStallSeconds * 1000;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                         INTERNET_OPTION_RECEIVE_TIMEOUT})
      InternetSetOptionA(session_.get(), option, &ms, sizeof ms);
    return true;
  }

  bool Connect(const GbkText& host, int32_t port) override {
    connection_.Reset(InternetConnectA(session_.get(), host.c_str(),
                                       static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0));
    return static_cast<bool>(connection_);
  }

  bool OpenRequest(const GbkText& verb, const GbkText& target, uint32_t flags) override {
    request_.Reset(HttpOpenRequestA(connection_.get(), verb.c_str(), target.c_str(), "HTTP/1.1",
                                    nullptr, nullptr, flags, 0));
    return static_cast<bool>(request_);
  }

  bool Send(const GbkText& headers, const ByteBuffer& body) override {
    watch_ = StallWatch(TickCount());
    auto sent = std::make_shared<BOOL>(FALSE);
    if (!calls_.Run(
            [request = request_.get(), headers = headers.str(), body = body.str(), sent] {
              *sent = HttpSendRequestA(request, headers.c_str(), static_cast<DWORD>(headers.size()),
                                       body.empty() ? nullptr : const_cast<char*>(body.data()),
                                       static_cast<DWORD>(body.size()));
            },
            watch_)) {
      GiveUp();
      return false;
    }
    if (!*sent) return false;
    const std::optional<std::string> block = QueryRawHeaders();
    watch_.Moved(static_cast<int64_t>(body.size() + (block ? block->size() : 0)), TickCount());
    return true;
  }

  // The body is read on the call thread, kReadChunk bytes per InternetReadFile, into one
  // buffer reserved from the announced length, and handed over whole once it has ended. The
  // reads only move the stall watch on; the caller sleeps until the body has ended or the
  // watch runs out, so nothing crosses between the threads per chunk.
  std::optional<std::string> ReadBody() override {
    if (stalled_) return std::nullopt;
    auto in = std::make_shared<Incoming>(watch_);
    calls_.Post([request = request_.get(), in, length = ContentLength()] {
      std::string body;
      char chunk[kReadChunk];
      for (;;) {
        DWORD n = 0;
        InternetReadFile(request, chunk, kReadChunk, &n);  // 0: the end, or an error
        n = std::min<DWORD>(n, kReadChunk);
        const bool taken = AppendBodyChunk(body, std::string_view(chunk, n), length);
        std::lock_guard lock(in->mutex);
        if (in->abandoned) return;
        if (!taken) {  // too large to take: the request fails
          in->refused = true;
          in->done.notify_all();
          return;
        }
        in->watch.Moved(n, TickCount());
        if (n == 0) {
          in->body = std::move(body);
          in->ended = true;
          in->done.notify_all();
          return;
        }
      }
    });
    std::unique_lock lock(in->mutex);
    for (;;) {
      if (in->ended) return std::move(in->body);
      if (in->refused) break;
      const uint32_t left = in->watch.MsLeft(TickCount());
      if (left == 0) break;
      in->done.wait_for(lock, std::chrono::milliseconds(left));
    }
    in->abandoned = true;
    lock.unlock();
    GiveUp();
    return std::nullopt;
  }

  std::optional<std::string> RawHeaders(int32_t capacity) override {
    std::optional<std::string> block = QueryRawHeaders();
    if (block && block->size() + 1 > static_cast<size_t>(capacity)) return std::nullopt;
    return block;
  }

  void Close() override {
    request_.Reset();
    connection_.Reset();
    session_.Reset();
  }

 private:
  std::optional<std::string> QueryRawHeaders() {
    if (stalled_) return std::nullopt;
    // Read into a generous buffer and judge the length from the text itself: Wine's WinInet
    // misreports the size of large header blocks (and then writes past a buffer of that size).
    std::string block(64 * 1024, '\0');
    DWORD length = static_cast<DWORD>(block.size());
    if (!HttpQueryInfoA(request_.get(), HTTP_QUERY_RAW_HEADERS_CRLF, block.data(), &length,
                        nullptr))
      return std::nullopt;
    block.resize(block.find('\0'));
    return block;
  }

  // The body's length as the reply announces it, or -1.
  int64_t ContentLength() {
    DWORD length = 0, size = sizeof length;
    if (!HttpQueryInfoA(request_.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length,
                        &size, nullptr))
      return -1;
    return length;
  }

  // The call in progress stalled: closing the request handle ends it (on Windows).
  void GiveUp() {
    stalled_ = true;
    request_.Reset();
  }

  // The body read on the call thread, and the stall watch its reads move on.
  struct Incoming {
    explicit Incoming(const StallWatch& w) : watch(w) {}
    std::mutex mutex;
    std::condition_variable done;
    StallWatch watch;
    std::string body;        // the whole body, once it has ended
    bool ended = false;      // the last read gave 0 bytes
    bool abandoned = false;  // the caller stopped waiting
    bool refused = false;    // the body was too large to take
  };

  InternetHandle session_, connection_, request_;
  CallThread calls_;
  StallWatch watch_{0};
  bool stalled_ = false;
};

}  // namespace

std::unique_ptr<Transport> NewTransport() {
  return std::make_unique<WinInetTransport>();
}

}  // namespace pellucor
