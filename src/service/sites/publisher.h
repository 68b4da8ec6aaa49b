// The publisher's site: the home page (/, /index.html), the advert document the desktop tool
// reads (/ggurl.html: the picture's address and where a click leads, one a line) and the advert
// picture. Runs on the io thread (serve.cpp).
#pragma once

#include <string>

#include "service/http/http_server.h"

namespace pellucor::service {

struct AdvertSettings {
  bool advert = false;
  std::string picture;  // the picture's bytes
  std::string link;     // where a click on it leads
};

class Publisher {
 public:
  explicit Publisher(AdvertSettings advert) : advert_(std::move(advert)) {}
  void Home(const Request& request, Responder respond);
  void AdvertDocument(const Request& request, Responder respond);
  void AdvertPicture(const Request& request, Responder respond);
  // Whether there is a picture to serve; without one /advert-picture is not found.
  bool HasPicture() const { return advert_.advert && !advert_.picture.empty(); }

 private:
  const AdvertSettings advert_;
};

}  // namespace pellucor::service
