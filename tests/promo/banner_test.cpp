#include "promo/banner.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "base/codepage.h"
#include "support/fake_http_server.h"
#include "support/pictures.h"
#include "support/printers.h"
#include "support/under_wine.h"

namespace pellucor {
namespace {

using testing::FakeHttpServer;
using testing::RecordedRequest;

class RecordingView : public BannerView {
 public:
  void ProcessPendingEvents() override { ++events; }
  void ShowAdvert(const Advert& advert) override { adverts.push_back(advert); }
  int events = 0;
  std::vector<Advert> adverts;
};

std::string Padded(std::string bytes, size_t size) {
  bytes.resize(size, '\0');
  return bytes;
}

// The publisher's site: the configuration document and pictures under /p/.
struct Site {
  Site(std::string d = "", std::string type = "text/html", std::string p = "")
      : document(std::move(d)), contentType(std::move(type)), picture(std::move(p)) {}
  std::string document;     // "" answers 404
  std::string contentType;  // of the document
  std::string picture;      // served for every /p/ address
};

std::vector<std::string> Targets(const FakeHttpServer& server) {
  std::vector<std::string> targets;
  for (const RecordedRequest& r : server.Requests()) targets.push_back(r.target);
  return targets;
}

TEST(LoadAdBanner, FollowsTheDocumentAndMeasuresThePicture) {
  FakeHttpServer server;
  const std::string pictureUrl = server.Url("/p/ad");
  const std::string link = "http://ad.example/landing";
  const std::string labels = "广告图片地址：" + pictureUrl + "\n广告地址：" + link + "\n";
  const std::string marker = "<p>Pellucor广告投放ok</p>\n";
  const std::string bmp600x90 = testing::SolidBmp(600, 90);
  const std::string long150(150, 'x');
  const std::string longPicture = server.Url("/p/" + long150);
  const std::string longPictureCut = longPicture.substr(0, 100);

  struct Case {
    const char* name;
    Site site;
    std::vector<std::string> targets;  // requests the server sees, in order
    bool shown;
    int boxWidth = 0, boxHeight = 0, growth = 0;
    std::string link = "http://ad.example/landing";
    int events = 2;  // ProcessPendingEvents calls
  } cases[] = {
      {"no document", {}, {"/ggurl.html"}, false, 0, 0, 0, "", 1},
      {"document without the marker",
       {"<html>广告图片地址：" + pictureUrl + "\n</html>"},
       {"/ggurl.html"},
       false,
       0,
       0,
       0,
       "",
       1},
      {"marker with its last two letters in capitals",
       {"Pellucor广告投放OK\n" + labels},
       {"/ggurl.html"},
       false,
       0,
       0,
       0,
       "",
       1},
      // Neither label: the picture request goes to an empty address, which reaches nothing.
      {"marker without labels", {marker}, {"/ggurl.html", "/ggurl.html"}, false},
      {"link without picture",
       {marker + "广告地址：" + link + "\n"},
       {"/ggurl.html", "/ggurl.html"},
       false,
       0,
       0,
       0,
       "",
       1},
      {"picture of 1000 bytes",
       {marker + labels, "text/html", Padded(testing::SolidBmp(10, 10), 1000)},
       {"/ggurl.html", "/ggurl.html", "/p/ad"},
       false},
      {"picture of 1001 bytes",
       {marker + labels, "text/html", Padded(testing::SolidBmp(10, 10), 1001)},
       {"/ggurl.html", "/ggurl.html", "/p/ad"},
       true,
       10,
       10,
       38},
      {"600 x 90 is squeezed to 432",
       {marker + labels, "text/html", bmp600x90},
       {"/ggurl.html", "/ggurl.html", "/p/ad"},
       true,
       432,
       90,
       118},
      {"300 x 100 GIF",
       {marker + labels, "text/html", testing::SolidGif(300, 100)},
       {"/ggurl.html", "/ggurl.html", "/p/ad"},
       true,
       300,
       100,
       128},
      {"labels in the other order, document in UTF-8",
       {GbkToUtf8("广告地址：" + link + "\n" + marker + "广告图片地址：" + pictureUrl + "\n"),
        "text/html; charset=utf-8", bmp600x90},
       {"/ggurl.html", "/ggurl.html", "/p/ad"},
       true,
       432,
       90,
       118},
      // A document saved with CR LF line ends: each value keeps its CR ("." takes it; Wine's
      // engine stops at it), which the picture's request does not send.
      {"CR LF line ends",
       {"<p>Pellucor广告投放ok</p>\r\n广告图片地址：" + pictureUrl + "\r\n广告地址：" + link +
            "\r\n",
        "text/html", bmp600x90},
       {"/ggurl.html", "/ggurl.html", "/p/ad"},
       true,
       432,
       90,
       118,
       link + (testing::UnderWine() ? "" : "\r")},
      {"unrecognised format",
       {marker + labels, "text/html", std::string(1500, 'x')},
       {"/ggurl.html", "/ggurl.html", "/p/ad"},
       true,
       0,
       0,
       28},
      {"PNG",
       {marker + labels, "text/html", Padded(testing::PictureFixture("picture.png"), 1200)},
       {"/ggurl.html", "/ggurl.html", "/p/ad"},
       true,
       0,
       0,
       28},
      {"values over 100 characters are cut",
       {marker + "广告图片地址：" + longPicture + "\n广告地址：http://" + long150 + "\n",
        "text/html", bmp600x90},
       {"/ggurl.html", "/ggurl.html", longPictureCut.substr(longPictureCut.find("/p/"))},
       true,
       432,
       90,
       118,
       ("http://" + long150).substr(0, 100)},
  };
  // One server plays the publisher's site for every case; the handler serves the current one.
  std::mutex mutex;
  Site current;
  server.SetHandler([&](const RecordedRequest& r) {
    std::lock_guard lock(mutex);
    if (r.target == "/ggurl.html" && !current.document.empty())
      return FakeHttpServer::Reply("200 OK", "Content-Type: " + current.contentType + "\r\n",
                                   current.document);
    if (r.target.rfind("/p/", 0) == 0 && !current.picture.empty())
      return FakeHttpServer::Reply("200 OK", "Content-Type: image/bmp\r\n", current.picture);
    return FakeHttpServer::Reply("404 Not Found", "", "");
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard lock(mutex);
      current = c.site;
    }
    const size_t before = server.Requests().size();
    RecordingView view;
    LoadAdBanner(view, GbkText(server.Url("")));
    std::vector<std::string> targets = Targets(server);
    targets.erase(targets.begin(), targets.begin() + static_cast<ptrdiff_t>(before));
    EXPECT_EQ(targets, c.targets);
    EXPECT_EQ(view.events, c.events);
    ASSERT_EQ(view.adverts.size(), c.shown ? 1u : 0u);
    if (!c.shown) continue;
    const Advert& a = view.adverts[0];
    EXPECT_EQ(a.boxWidth, c.boxWidth);
    EXPECT_EQ(a.boxHeight, c.boxHeight);
    EXPECT_EQ(a.windowGrowth, c.growth);
    EXPECT_EQ(a.link, GbkText(c.link));
    EXPECT_EQ(a.picture.str(), c.site.picture);
  }
}

}  // namespace
}  // namespace pellucor
