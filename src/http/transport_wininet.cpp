// The HTTP transport on the Windows Internet functions (wininet.dll).
#if !defined(_WIN32)
#error "transport_wininet.cpp is the Windows back end; other builds use transport_curl.cpp"
#endif

#include <windows.h>
#include <wininet.h>

#include "http/transport.h"

namespace pellucor {
namespace {

// One Internet handle, closed when it goes out of scope.
class InternetHandle {
 public:
  InternetHandle() = default;
  ~InternetHandle() { Reset(); }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  void Reset(HINTERNET h = nullptr) {
    if (h_) InternetCloseHandle(h_);
    h_ = h;
  }
  HINTERNET get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HINTERNET h_ = nullptr;
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
    DWORD ms = kTransportTimeoutSeconds * 1000;
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

  bool OpenRequest(const GbkText& verb, const GbkText& path, uint32_t flags) override {
    request_.Reset(HttpOpenRequestA(connection_.get(), verb.c_str(), path.c_str(), "HTTP/1.1",
                                    nullptr, nullptr, flags, 0));
    return static_cast<bool>(request_);
  }

  bool Send(const GbkText& headers, const ByteBuffer& body) override {
    return HttpSendRequestA(request_.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                            body.empty() ? nullptr : const_cast<char*>(body.str().data()),
                            static_cast<DWORD>(body.size()));
  }

  int32_t Read(char* buffer, int32_t size) override {
    DWORD count = 0;
    InternetReadFile(request_.get(), buffer, static_cast<DWORD>(size), &count);
    return static_cast<int32_t>(count);
  }

  int64_t BodySizeHint() override {
    DWORD length = 0, size = sizeof length;
    if (!HttpQueryInfoA(request_.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length,
                        &size, nullptr))
      return -1;
    return length;
  }

  std::optional<std::string> RawHeaders(int32_t capacity) override {
    // Read into a generous buffer and judge the length from the text itself: Wine's WinInet
    // misreports the size of large header blocks (and then writes past a buffer of that size).
    std::string block(64 * 1024, '\0');
    DWORD length = static_cast<DWORD>(block.size());
    if (!HttpQueryInfoA(request_.get(), HTTP_QUERY_RAW_HEADERS_CRLF, block.data(), &length,
                        nullptr))
      return std::nullopt;
    block.resize(block.find('\0'));
    if (block.size() + 1 > static_cast<size_t>(capacity)) return std::nullopt;
    return block;
  }

  void Close() override {
    request_.Reset();
    connection_.Reset();
    session_.Reset();
  }

 private:
  InternetHandle session_, connection_, request_;
};

}  // namespace

std::unique_ptr<Transport> NewTransport() {
  return std::make_unique<WinInetTransport>();
}

}  // namespace pellucor
