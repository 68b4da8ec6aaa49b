#include "service/sites/operator_pages.h"

#include <string>

#include "service/sites/pages.h"

namespace pellucor::service {

void OperatorPages::MetricsPage(const Request&, Responder respond) {
  respond(MakeResponse(http::status::ok, "text/plain; version=0.0.4; charset=utf-8",
                       metrics_.Render()));
}

void OperatorPages::Health(const Request&, Responder respond) {
  std::string problems, error;
  if (!cache_.StoreHealthy(&error)) problems += "store: " + error + "\n";
  if (!lookups_.SwarmRunning()) problems += "swarm: the libtorrent session is not running\n";
  if (problems.empty()) return respond(MakeResponse(http::status::ok, kPlainText, "ok\n"));
  respond(MakeResponse(http::status::service_unavailable, kPlainText, problems));
}

}  // namespace pellucor::service
