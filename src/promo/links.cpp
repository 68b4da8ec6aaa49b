#include "promo/links.h"

#include "convert/deployment.h"

namespace pellucor {

bool IsWebAddress(const GbkText& url) {
  const GbkText head = LowerCaseAscii(LeftPart(url, 8));
  return LeftPart(head, 7) == GbkText("http://") || head == GbkText("https://");
}

bool OpenInBrowser(const GbkText& url, const UrlOpener& open) {
  if (!IsWebAddress(url)) return false;
  open(url);
  return true;
}

void OpenHomePage(const UrlOpener& open) {
  OpenInBrowser(HomePageUrl, open);
}

void OnAdPictureClicked(RouteView& view, const GbkText& adLink, const UrlOpener& open) {
  view.AppendToLog("正在跳转，请稍后……\r\n");
  OpenInBrowser(adLink, open);
  view.AppendToLog("跳转完毕！\r\n");
}

}  // namespace pellucor
