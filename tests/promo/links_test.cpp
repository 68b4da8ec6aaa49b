#include "promo/links.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/printers.h"

namespace pellucor {
namespace {

class LogView : public LinkView {
 public:
  void AppendToLog(const GbkText& text) override { events.push_back("log:" + text.str()); }
  std::vector<std::string> events;
};

TEST(Links, OnlyWebAddressesAreOpened) {
  struct Case {
    const char* url;
    bool web;
    const char* opened = nullptr;  // the url itself when null
  };
  const Case cases[] = {
      {"http://a.example/x", true},
      {"http://a.example/x \r", true, "http://a.example/x"},
      {"https://a.example/", true},
      {"HTTP://A.EXAMPLE", true},
      {"HtTpS://a", true},
      {"http://", true},
      {"C:\\Windows\\notepad.exe", false},
      {"file:///etc/passwd", false},
      {"ftp://a/", false},
      {"javascript:alert(1)", false},
      {" http://a", false},
      {"http:/a", false},
      {"", false},
      {"httpx://a", false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> opened;
    EXPECT_EQ(OpenInBrowser(c.url, [&](const GbkText& u) { opened.push_back(u.str()); }), c.web)
        << c.url;
    EXPECT_EQ(opened, c.web ? std::vector<std::string>{c.opened ? c.opened : c.url}
                            : std::vector<std::string>{})
        << c.url;
  }
}

TEST(Links, AdvertClickWritesTwoLinesAroundTheBrowser) {
  for (const char* link : {"http://ad.example/landing", "C:\\evil.exe", ""}) {
    LogView view;
    OnAdPictureClicked(view, link,
                       [&](const GbkText& u) { view.events.push_back("open:" + u.str()); });
    std::vector<std::string> want = {"log:正在跳转，请稍后……\r\n"};
    if (IsWebAddress(link)) want.push_back(std::string("open:") + link);
    want.push_back("log:跳转完毕！\r\n");
    EXPECT_EQ(view.events, want) << link;
  }
  std::vector<std::string> opened;
  OpenHomePage("http://home.example", [&](const GbkText& u) { opened.push_back(u.str()); });
  EXPECT_EQ(opened, std::vector<std::string>{"http://home.example"});
}

}  // namespace
}  // namespace pellucor
