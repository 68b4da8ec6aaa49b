// The first service: POST /download.aspx with the form field "hash" (a magnet link or a bare
// hash) → the .torrent itself; else a page whose first sentence the desktop tool looks for,
// then why the lookup missed. Runs on the io thread (serve.cpp).
#pragma once

#include "service/http/http_server.h"
#include "service/lookup/lookups.h"

namespace pellucor::service {

class FirstService {
 public:
  explicit FirstService(Lookups& lookups) : lookups_(lookups) {}
  void Serve(const Request& request, Responder respond);

 private:
  Lookups& lookups_;
};

}  // namespace pellucor::service
