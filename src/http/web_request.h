// One HTTP exchange with the program's conventions: a fixed default User-Agent and default
// header lines, an optional caller-held cookie text merged with the reply's cookies, the
// reply's Location, cookies and raw header block handed back, its own rule for 301 replies,
// and conversion of UTF-8 bodies to GBK.
//
// Arguments follow the order the rest of the program uses. A null pointer is an argument not
// given: in/out and out arguments then go to a scratch variable. Only `cookies` and `proxy`
// behave differently when given empty:
//   cookies given      -> no automatic cookies; the reply's cookies are merged into *cookies
//   proxy given        -> plain-HTTP URLs go through "http=" + *proxy
//
// With only a URL, the header block sent is exactly
//   "Referer: URL\r\nAccept: */*\r\nAccept-Language: zh-cn\r\n"
//   "Content-Type: application/x-www-form-urlencoded"
// plus the transport's own lines (User-Agent, Host, ...). A 301 reply (status text between
// "HTTP/1.1 " and " Moved") is followed to its Location + the current URL's path, at most
// kMaxRedirects times; past that the result is empty.
#pragma once

#include <optional>

#include "base/text.h"

namespace pellucor {

inline constexpr char DefaultUserAgent[] =
    "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1; QOMRA; .NET CLR 2.0.50727; "
    ".NET CLR 3.0.04506.648; .NET CLR 3.5.21022)";
inline constexpr int kMaxRedirects = 10;

// Returns the reply body (converted to GBK when it or the headers say "charset=utf-8"), or
// empty bytes when the server could not be reached or the exchange stalled (fewer than 1024
// bytes in 30 s, http/transport.h); then no argument is changed. The path goes on the wire as
// RequestTarget (http/url.h) makes it, on every transport.
//   method          1: "POST", else "GET"; 0: no body, else *postBytes (filled from
//                   postData when empty) is sent
//   extraHeaders    the caller's header lines; afterwards the block that was sent
//   redirectTarget  the reply's Location value; kept when there is none, and then, if empty,
//                   the whole reply header block
//   responseHeaders the raw reply header block, or 5000 spaces when none could be read
ByteBuffer WebRequest(const GbkText& url, int32_t method = 0, const GbkText& postData = {},
                      GbkText* cookies = nullptr, GbkText* responseCookies = nullptr,
                      GbkText* extraHeaders = nullptr, GbkText* redirectTarget = nullptr,
                      bool noAutoRedirect = false, ByteBuffer* postBytes = nullptr,
                      const std::optional<GbkText>& proxy = std::nullopt,
                      GbkText* responseHeaders = nullptr);

}  // namespace pellucor
