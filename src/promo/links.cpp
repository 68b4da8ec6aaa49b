#include "promo/links.h"

namespace pellucor {

bool IsWebAddress(const GbkText& url) {
  const GbkText head = LowerCaseAscii(LeftPart(url, 8));
  return LeftPart(head, 7) == GbkText("http://") || head == GbkText("https://");
}

bool OpenInBrowser(const GbkText& url, const UrlOpener& open) {
  if (!IsWebAddress(url)) return false;
  // A value read from a document saved with CR LF line ends carries the CR: the browser gets
  // the address without trailing control bytes and spaces, on every toolkit alike (Qt would
  // keep the CR as "%0D", the Windows shell drops it).
  std::string_view s = url.view();
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.remove_suffix(1);
  open(GbkText(s));
  return true;
}

void OpenHomePage(const GbkText& homePageUrl, const UrlOpener& open) {
  OpenInBrowser(homePageUrl, open);
}

void OnAdPictureClicked(LinkView& view, const GbkText& adLink, const UrlOpener& open) {
  view.AppendToLog("正在跳转，请稍后……\r\n");
  OpenInBrowser(adLink, open);
  view.AppendToLog("跳转完毕！\r\n");
}

}  // namespace pellucor
