// The publisher's site for the window tests: the advert configuration document, naming a
// picture on the same server and the advert's link, and the picture itself; 404 otherwise.
#pragma once

#include <string>

#include "support/fake_http_server.h"
#include "support/pictures.h"

namespace pellucor::testing {

// 600 x 90, two frames of a tenth of a second: red, then blue.
inline std::string AnimatedAdvert() {
  return MakeGif(600, 90, {0xFF0000, 0x0000FF},
                 {SolidGifFrame(600, 90, 0, 10), SolidGifFrame(600, 90, 1, 10)});
}

// Narrow literals are GBK in most test programs and UTF-8 in those that include Qt: the
// document says which, so that the program reads it as GBK either way. The document has the
// CR LF line ends of one saved on Windows: each value the program reads ends in a CR.
inline FakeHttpServer::Handler AdvertSite(const FakeHttpServer& server, std::string picture,
                                          const std::string& link) {
  constexpr bool kUtf8Literals = sizeof("中") == 4;
  const std::string document = "<html><body>Pellucor广告投放ok\r\n广告图片地址：" +
                               server.Url("/ad.gif") + "\r\n广告地址：" + link +
                               "\r\n</body></html>";
  const std::string type = kUtf8Literals ? "text/html; charset=utf-8" : "text/html";
  return [document, type, picture = std::move(picture)](const RecordedRequest& r) {
    if (r.target == "/ggurl.html")
      return FakeHttpServer::Reply("200 OK", "Content-Type: " + type + "\r\n", document);
    if (r.target == "/ad.gif")
      return FakeHttpServer::Reply("200 OK", "Content-Type: image/gif\r\n", picture);
    return FakeHttpServer::Reply("404 Not Found", "", "");
  };
}

}  // namespace pellucor::testing
