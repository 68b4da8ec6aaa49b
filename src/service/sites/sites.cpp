#include "service/sites/sites.h"

#include "service/sites/forms.h"
#include "service/sites/pages.h"

namespace pellucor::service {
namespace {

// `serve` of `handler` as the server's handler type.
template <class Handler>
HttpHandler To(Handler* handler, void (Handler::*serve)(const Request&, Responder)) {
  return [handler, serve](const Request& r, Responder respond) {
    (handler->*serve)(r, std::move(respond));
  };
}

}  // namespace

Sites::Sites(Lookups& lookups, TorrentCache& cache, Metrics& metrics, SiteSettings settings)
    : first_(lookups),
      second_(lookups, cache, std::move(settings.siteTag)),
      publisher_(AdvertSettings{settings.advert, std::move(settings.advertPicture),
                                std::move(settings.advertLink)}),
      api_(lookups, cache),
      operator_(metrics, lookups, cache) {
  routes_ = {
      {"/download.aspx", false, "first", Methods::kPost, To(&first_, &FirstService::Serve)},
      {"/magnet-bt/index.php", false, "second", Methods::kPost, To(&second_, &SecondService::Form)},
      {"/magnet-bt/down.php", false, "second", Methods::kGet,
       To(&second_, &SecondService::Download)},
      {"/magnet-bt/", true, "second", Methods::kAny, nullptr},
      // The desktop tool follows the download link even when the page had none: it then asks
      // for the bare "/magnet-bt", a request of the second site too.
      {"/magnet-bt", false, "second", Methods::kAny, nullptr},
      {"/api/", true, "api", Methods::kAny, To(&api_, &Api::Serve)},
      {"/metrics", false, "metrics", Methods::kGet, To(&operator_, &OperatorPages::MetricsPage)},
      {"/healthz", false, "healthz", Methods::kGet, To(&operator_, &OperatorPages::Health)},
      {"/ggurl.html", false, "publisher", Methods::kGet,
       To(&publisher_, &Publisher::AdvertDocument)},
      {"/advert-picture", false, "publisher", Methods::kGet,
       publisher_.HasPicture() ? To(&publisher_, &Publisher::AdvertPicture) : nullptr},
      {"/", false, "publisher", Methods::kGet, To(&publisher_, &Publisher::Home)},
      {"/index.html", false, "publisher", Methods::kGet, To(&publisher_, &Publisher::Home)},
  };
}

const Sites::Route* Sites::RouteOf(std::string_view path) const {
  for (const Route& route : routes_)
    if (route.prefix ? path.rfind(route.path, 0) == 0 : path == route.path) return &route;
  return nullptr;
}

const char* Sites::SiteOf(std::string_view path) const {
  const Route* route = RouteOf(path);
  return route ? route->site : "other";
}

void Sites::Handle(const Request& request, Responder respond) {
  const Route* route = RouteOf(PathOf(TargetOf(request)));
  if (!route || !route->handler)
    return respond(Page(http::status::not_found, kUtf8Lower, "<p>404 Not Found</p>\n"));
  const http::verb method = request.method();
  const bool allowed =
      route->methods == Methods::kAny ||
      (route->methods == Methods::kPost ? method == http::verb::post
                                        : method == http::verb::get || method == http::verb::head);
  if (!allowed) {
    Response r = MakeResponse(http::status::method_not_allowed, kPlainText, "method not allowed\n");
    r.set(http::field::allow, route->methods == Methods::kPost ? "POST" : "GET, HEAD");
    return respond(std::move(r));
  }
  route->handler(request, std::move(respond));
}

}  // namespace pellucor::service
