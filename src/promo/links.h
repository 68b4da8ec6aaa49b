// The two links that open the browser: the publisher's home page (the link button) and the
// advert's target (a click on the advert picture).
#pragma once

#include <functional>

#include "base/text.h"

namespace pellucor {

// How an address reaches the default browser (the toolkit's OpenUrl in the program).
using UrlOpener = std::function<void(const GbkText& url)>;

// Whether `url` is a web address: "http://" or "https://" at its start, ASCII case ignored.
// Only such addresses are handed to the system: the advert's address comes from a web
// document, and a local program path would otherwise be run.
bool IsWebAddress(const GbkText& url);

// Opens `url` in the default browser when it is a web address, without the control bytes and
// spaces at its end; otherwise nothing. True when it was handed on.
bool OpenInBrowser(const GbkText& url, const UrlOpener& open);

// The link button: the publisher's home page.
void OpenHomePage(const GbkText& homePageUrl, const UrlOpener& open);

// What a click on the advert picture needs of the window: its status log.
class LinkView {
 public:
  virtual ~LinkView() = default;
  // Appends to the end of the status log; each message carries its own "\r\n".
  virtual void AppendToLog(const GbkText& text) = 0;
};

// The click on the advert picture: "正在跳转，请稍后……\r\n", the browser, "跳转完毕！\r\n".
void OnAdPictureClicked(LinkView& view, const GbkText& adLink, const UrlOpener& open);

}  // namespace pellucor
