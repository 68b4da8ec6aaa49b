// The advert banner: once per run, on its own thread, the program asks the publisher's site
// for its advert configuration document; when the document says so, the advert picture is
// downloaded and shown at the bottom of the window, which grows to bring it into view. Every
// failure is silent and leaves the window as it was.
//
// The configuration document ("/ggurl.html" under the home page) holds, anywhere in its text:
//   Pellucor广告投放ok                       the marker, byte for byte; without it no advert
//   广告图片地址：http://host/ad.gif          the picture's address (to the end of its line)
//   广告地址：http://host/                    where a click on the picture leads
// Each value is what follows its label up to the end of the line, at most 100 characters.
#pragma once

#include "base/text.h"

namespace pellucor {

extern const char kAdMarker[];          // "Pellucor广告投放ok"
extern const char kAdPicturePattern[];  // "广告图片地址：(.{1,100})"
extern const char kAdLinkPattern[];     // "广告地址：(.{1,100})"
constexpr int kAdBoxMaxWidth = 432;     // wider pictures are squeezed into this width

// What the window does to show an advert.
struct Advert {
  ByteBuffer picture;  // the downloaded bytes, as they came
  GbkText link;        // the advert's target address (AdLink)
  int boxWidth = 0;    // the picture box's new size
  int boxHeight = 0;
  int windowGrowth = 0;  // added to the window's height
};

// What the banner needs of the window.
class BannerView {
 public:
  virtual ~BannerView() = default;
  // Lets the calling (banner) thread handle its own pending events, once.
  virtual void ProcessPendingEvents() = 0;
  // Shows the advert; called on the banner thread, applied on the window's thread in this
  // order: the box's picture, the caption shown, the box shown, the box's size, the window's
  // height; the link is published with them.
  virtual void ShowAdvert(const Advert& advert) = 0;
};

// The text of the page at `url`: a GET with default headers; the reply body up to its first
// zero byte; empty when the request fails.
GbkText FetchPageText(const GbkText& url);

// The banner routine. `homePageUrl` has no trailing slash.
void LoadAdBanner(BannerView& view, const GbkText& homePageUrl);

}  // namespace pellucor
