// The HTTP transport on libcurl (every build but Windows). libcurl performs the whole exchange
// inside Send; ReadBody then hands over the body it collected.
#if defined(_WIN32)
#error "transport_curl.cpp is for non-Windows builds; Windows uses transport_wininet.cpp"
#endif

#include <curl/curl.h>

#include <mutex>
#include <utility>

#include "base/env.h"
#include "http/transport.h"

namespace pellucor {
namespace {

// The process's cookie store when callers do not keep their own: shared by every request
// (on any thread) that lets the transport handle cookies.
class CookieStore {
 public:
  static CookieStore& Get() {
    static CookieStore store;
    return store;
  }
  CURLSH* share() const { return share_; }

 private:
  CookieStore() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    share_ = curl_share_init();
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, Lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, Unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
  }
  static void Lock(CURL*, curl_lock_data, curl_lock_access, void* self) {
    static_cast<CookieStore*>(self)->mutex_.lock();
  }
  static void Unlock(CURL*, curl_lock_data, void* self) {
    static_cast<CookieStore*>(self)->mutex_.unlock();
  }
  CURLSH* share_;
  std::mutex mutex_;
};

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

class CurlTransport final : public Transport {
 public:
  CurlTransport() { CookieStore::Get(); }
  ~CurlTransport() override { Close(); }

  bool OpenSession(const GbkText& agent, const std::optional<GbkText>& proxyList) override {
    agent_ = agent.str();
    proxyList_ = proxyList ? std::optional<std::string>(proxyList->str()) : std::nullopt;
    return true;
  }

  bool Connect(const GbkText& host, int32_t port) override {
    if (host.empty()) return false;
    host_ = host.str();
    port_ = port;
    return true;
  }

  bool OpenRequest(const GbkText& verb, const GbkText& target, uint32_t flags) override {
    curl_ = curl_easy_init();
    if (!curl_) return false;
    verb_ = verb.str();
    path_ = target.str();
    flags_ = flags;
    return true;
  }

  bool Send(const GbkText& headers, const ByteBuffer& body) override {
    const bool secure = flags_ & kFlagSecure;
    const std::string url =
        std::string(secure ? "https://" : "http://") + host_ + ":" + std::to_string(port_) + path_;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl_, CURLOPT_USERAGENT, agent_.c_str());
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    // The stall rule, checked by the progress callback (about once a second while nothing
    // moves); a connection that is not made in that time has moved nothing either.
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, static_cast<long>(kStallSeconds));
    curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, this);

    // The proxy list names a proxy for plain HTTP only; anything else goes direct, and the
    // environment's proxy variables are never used.
    std::string proxy;
    if (proxyList_ && !secure && proxyList_->rfind("http=", 0) == 0) proxy = proxyList_->substr(5);
    curl_easy_setopt(curl_, CURLOPT_PROXY, proxy.c_str());

    if (!(flags_ & kFlagNoCookies)) {
      curl_easy_setopt(curl_, CURLOPT_SHARE, CookieStore::Get().share());
      curl_easy_setopt(curl_, CURLOPT_COOKIEFILE, "");  // cookie engine on, nothing loaded
    }
    if (!(flags_ & kFlagNoAutoRedirect)) {
      curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 1L);
      curl_easy_setopt(curl_, CURLOPT_MAXREDIRS, 10L);
    }

    // Method and body, as the verb and the presence of a body say.
    if (verb_ == "POST") {
      curl_easy_setopt(curl_, CURLOPT_POST, 1L);
    } else if (!body.empty()) {
      curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, verb_.c_str());
    } else {
      curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
    }
    if (verb_ == "POST" || !body.empty()) {
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.str().c_str());
    }

    // The caller's lines, in order, read the way WinInet reads a header block: a CR or an LF
    // alone also ends a line (a URL with a stray CR in the Referer line gives no broken line),
    // lines without a ":" are dropped, and name and value lose the spaces around them.
    // libcurl's own "Expect: 100-continue" is suppressed.
    curl_slist* list = nullptr;
    std::string field;
    std::string_view rest = headers.view();
    while (!rest.empty()) {
      const size_t end = rest.find_first_of("\r\n");
      const std::string_view line = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      const size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      const std::string_view name = TrimSpaces(line.substr(0, colon));
      if (name.empty()) continue;
      field.assign(name).append(": ").append(TrimSpaces(line.substr(colon + 1)));
      list = curl_slist_append(list, field.c_str());
    }
    list = curl_slist_append(list, "Expect:");
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);

    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, this);

    watch_ = StallWatch(TickCount());
    const CURLcode rc = curl_easy_perform(curl_);
    curl_slist_free_all(list);
    if (stalled_ || refused_) return false;
    // A reply that broke off part-way still counts: what arrived is returned.
    return rc == CURLE_OK || !headerBlock_.empty();
  }

  // The body libcurl delivered during Send, handed over as it was collected.
  std::optional<std::string> ReadBody() override { return std::move(body_); }

  std::optional<std::string> RawHeaders(int32_t capacity) override {
    if (headerBlock_.empty()) return std::nullopt;
    if (headerBlock_.size() + 1 > static_cast<size_t>(capacity)) return std::nullopt;
    return headerBlock_;
  }

  void Close() override {
    if (curl_) curl_easy_cleanup(curl_);
    curl_ = nullptr;
  }

 private:
  // Counts what moved since the last call (each reply of a redirect chain counts from 0
  // again) and gives the transfer up once the stall rule says so.
  static int OnProgress(void* self, curl_off_t, curl_off_t downloaded, curl_off_t,
                        curl_off_t uploaded) {
    auto* t = static_cast<CurlTransport*>(self);
    const curl_off_t total = downloaded + uploaded;
    if (total < t->counted_) t->counted_ = 0;
    const uint32_t now = TickCount();
    t->watch_.Moved(total - t->counted_, now);
    t->counted_ = total;
    t->stalled_ = t->watch_.MsLeft(now) == 0;
    return t->stalled_ ? 1 : 0;
  }

  static size_t OnHeader(char* data, size_t size, size_t n, void* self) {
    auto* t = static_cast<CurlTransport*>(self);
    t->watch_.Moved(static_cast<int64_t>(size * n), TickCount());
    const std::string_view line(data, size * n);
    // Each reply of a redirect chain (and an interim 1xx) starts a new block: keep the last.
    if (line.rfind("HTTP/", 0) == 0) {
      t->headerBlock_.clear();
      t->body_.clear();
    }
    t->headerBlock_.append(line);
    return size * n;
  }

  static size_t OnBody(char* data, size_t size, size_t n, void* self) {
    auto* t = static_cast<CurlTransport*>(self);
    curl_off_t length = -1;
    curl_easy_getinfo(t->curl_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (!AppendBodyChunk(t->body_, std::string_view(data, size * n), length)) {
      t->refused_ = true;
      return 0;  // libcurl ends the transfer
    }
    return size * n;
  }

  CURL* curl_ = nullptr;
  std::string agent_, host_, verb_, path_;
  std::optional<std::string> proxyList_;
  int32_t port_ = 0;
  uint32_t flags_ = 0;
  std::string headerBlock_, body_;
  StallWatch watch_{0};
  curl_off_t counted_ = 0;  // body bytes sent and received that the watch has seen
  bool stalled_ = false;
  bool refused_ = false;  // the body was too large to take
};

}  // namespace

std::unique_ptr<Transport> NewTransport() {
  return std::make_unique<CurlTransport>();
}

}  // namespace pellucor
