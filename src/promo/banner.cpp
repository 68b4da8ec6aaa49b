#include "promo/banner.h"

#include "base/picture.h"
#include "http/web_request.h"
#include "regex/regex_object.h"

namespace pellucor {

const char kAdMarker[] = "Pellucor广告投放ok";
const char kAdPicturePattern[] = "广告图片地址：(.{1,100})";
const char kAdLinkPattern[] = "广告地址：(.{1,100})";

namespace {

// Pictures of this many bytes or fewer are taken for error pages, not adverts.
constexpr int32_t kMinPictureBytes = 1000;
// The caption above the picture and the gaps around it.
constexpr int kCaptionHeight = 28;

}  // namespace

GbkText FetchPageText(const GbkText& url) {
  return BytesToText(WebRequest(url));
}

void LoadAdBanner(BannerView& view, const GbkText& homePageUrl) {
  RegexObject regex;  // this thread's own; released whichever way the routine ends
  view.ProcessPendingEvents();
  const GbkText configUrl = ConcatText(homePageUrl, "/ggurl.html");
  if (FindText(FetchPageText(configUrl), kAdMarker) == -1) return;
  // The values are read from a second fetch of the document.
  const GbkText page = FetchPageText(configUrl);
  regex.Search(kAdPicturePattern, page);
  const GbkText pictureUrl = regex.SubMatchText(1, 1);
  regex.Search(kAdLinkPattern, page);
  const GbkText link = regex.SubMatchText(1, 1);
  // With neither address the download below fails and ends the routine.
  if (pictureUrl.empty() && !link.empty()) return;
  view.ProcessPendingEvents();
  ByteBuffer picture = WebRequest(pictureUrl);
  if (BytesLength(picture) <= kMinPictureBytes) return;

  // Measured on this thread; a picture in no recognised format measures 0 x 0 and is still
  // "shown": the caption appears and the window grows by the caption's height.
  const int32_t handle = DecodePicture(picture);
  const int32_t width = PictureWidth(handle);
  const int32_t height = PictureHeight(handle);
  UnloadPicture(handle);
  Advert advert;
  advert.picture = std::move(picture);
  advert.link = link;
  advert.boxWidth = width > kAdBoxMaxWidth ? kAdBoxMaxWidth : width;
  advert.boxHeight = height;
  advert.windowGrowth = static_cast<int>(static_cast<double>(height) + kCaptionHeight);
  view.ShowAdvert(advert);
}

}  // namespace pellucor
