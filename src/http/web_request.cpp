#include "http/web_request.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "http/cookies.h"
#include "http/decode.h"
#include "http/transport.h"
#include "http/url.h"

namespace pellucor {
namespace {

constexpr int32_t kHeaderCapacity = 5000;
constexpr char kUtf8Mark[] = "charset=utf-8";
// The mark counts in the body when it starts at a 1-based position below 500: it then lies
// within the first 498 + 13 bytes, and only those are searched (a 512th byte would let a mark
// at position 500 count).
constexpr size_t kUtf8Window = 498 + sizeof kUtf8Mark - 1;

GbkText AgentFor(const GbkText& extraHeaders) {
  if (FindText(extraHeaders, "User-Agent:", {}, true) == -1) return DefaultUserAgent;
  const GbkText agent = TrimBoth(TextBetween(extraHeaders, "User-Agent:", "\r\n"));
  return agent.empty() ? HeaderValue(extraHeaders) : agent;
}

uint32_t FlagsFor(const GbkText& url, bool cookiesGiven, bool noAutoRedirect) {
  uint32_t flags = kFlagReload | kFlagNeedFile;
  if (cookiesGiven) flags |= kFlagNoCookies;
  if (noAutoRedirect) flags |= kFlagNoAutoRedirect;
  flags |= LowerCaseAscii(LeftPart(url, 5)) == GbkText("https") ? kFlagSecure
                                                                : kFlagIgnoreRedirectToHttps;
  return flags;
}

// Completes the caller's header block with the default lines it lacks (case-sensitive key
// tests anywhere in the block) and the Cookie line.
GbkText CompleteHeaders(const GbkText& given, const GbkText& url, const GbkText* cookies) {
  std::string block = given.str();
  const auto lacks = [&](const GbkText& key) { return FindText(GbkText(block), key) == -1; };
  if (lacks("Referer:"))
    block.append(block.empty() ? "Referer: " : "\r\nReferer: ").append(url.view());
  if (lacks("Accept:")) block.append("\r\nAccept: */*");
  if (lacks("Accept-Language:")) block.append("\r\nAccept-Language: zh-cn");
  if (lacks("Content-Type:")) block.append("\r\nContent-Type: application/x-www-form-urlencoded");
  if (cookies && !cookies->empty()) block.append("\r\nCookie: ").append(cookies->view());
  return GbkText(block);
}

bool DeclaresUtf8(const ByteBuffer& body, const GbkText& headers) {
  return body.view().substr(0, kUtf8Window).find(kUtf8Mark) != std::string_view::npos ||
         FindText(headers, kUtf8Mark) != -1;
}

// The caller's variables, or scratch ones for arguments not given.
struct Variables {
  GbkText* cookies;  // null: not given
  GbkText* responseCookies;
  GbkText* extraHeaders;
  GbkText* redirectTarget;
  ByteBuffer* postBytes;
  GbkText* responseHeaders;
};

ByteBuffer Exchange(const GbkText& url, int32_t method, const GbkText& postData, Variables v,
                    bool noAutoRedirect, const std::optional<GbkText>& proxy, int redirects) {
  const GbkText verb = method == 1 ? "POST" : "GET";
  const GbkText agent = AgentFor(*v.extraHeaders);

  const std::unique_ptr<Transport> t = NewTransport();
  const std::optional<GbkText> proxyList =
      proxy ? std::optional<GbkText>(ConcatText("http=", *proxy)) : std::nullopt;
  if (!t->OpenSession(agent, proxyList)) return {};
  if (!t->Connect(UrlHost(url), UrlPort(url))) return {};
  if (!t->OpenRequest(verb, RequestTarget(UrlPath(url)),
                      FlagsFor(url, v.cookies != nullptr, noAutoRedirect)))
    return {};

  const GbkText headers = CompleteHeaders(*v.extraHeaders, url, v.cookies);
  ByteBuffer body;
  if (method != 0) body = v.postBytes->empty() ? TextToBytes(postData) : *v.postBytes;
  // A server that cannot be reached, or a request that stalls before its reply is complete,
  // is a failure like a server that cannot be connected to: nothing of the caller's changes.
  if (!t->Send(headers, body)) return {};

  std::optional<std::string> received = t->ReadBody();
  if (!received) return {};
  ByteBuffer reply(std::move(*received));
  *v.extraHeaders = headers;
  if (method != 0) *v.postBytes = body;

  const std::optional<std::string> raw = t->RawHeaders(kHeaderCapacity);
  *v.responseHeaders = raw ? GbkText(*raw) : SpacesText(kHeaderCapacity);
  t->Close();

  const TextArray lines = SplitText(*v.responseHeaders, "\r\n");
  *v.responseCookies = GbkText();
  for (int32_t i = 1; i <= ElementCount(lines); ++i) {
    const GbkText& line = lines[i];
    if (FindText(line, "Location:") != -1) *v.redirectTarget = HeaderValue(line);
    if (FindText(line, "Set-Cookie") != -1) {
      GbkText value = TrimBoth(TextBetween(line, "Set-Cookie:", ";"));
      if (value.empty()) value = HeaderValue(line);
      *v.responseCookies = ConcatText(*v.responseCookies, value, "; ");
    }
  }
  if (v.cookies) MergeCookies(*v.cookies, *v.responseCookies);
  if (v.redirectTarget->empty()) *v.redirectTarget = *v.responseHeaders;

  if (TextBetween(*v.responseHeaders, "HTTP/1.1 ", " Moved") == GbkText("301")) {
    // A chain of 301 replies longer than the bound is a redirect loop: a failure.
    if (redirects == kMaxRedirects) return {};
    const GbkText next = ConcatText(*v.redirectTarget, UrlPath(url));
    *v.redirectTarget = GbkText();
    return Exchange(next, method, postData, v, noAutoRedirect, proxy, redirects + 1);
  }

  if (DeclaresUtf8(reply, *v.responseHeaders)) reply = Utf8ToGbk(reply);
  return reply;
}

}  // namespace

ByteBuffer WebRequest(const GbkText& url, int32_t method, const GbkText& postData, GbkText* cookies,
                      GbkText* responseCookies, GbkText* extraHeaders, GbkText* redirectTarget,
                      bool noAutoRedirect, ByteBuffer* postBytes,
                      const std::optional<GbkText>& proxy, GbkText* responseHeaders) {
  GbkText scratchCookies, scratchHeaders, scratchTarget, scratchResponse;
  ByteBuffer scratchBytes;
  const Variables v{cookies,
                    responseCookies ? responseCookies : &scratchCookies,
                    extraHeaders ? extraHeaders : &scratchHeaders,
                    redirectTarget ? redirectTarget : &scratchTarget,
                    postBytes ? postBytes : &scratchBytes,
                    responseHeaders ? responseHeaders : &scratchResponse};
  return Exchange(url, method, postData, v, noAutoRedirect, proxy, 0);
}

}  // namespace pellucor
