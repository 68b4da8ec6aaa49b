// The service's JSON API, asked about a link after its route failed: the lookup the route's
// request started leaves its outcome there for a while, and that says why the link failed
// better than the route's message can.
//   GET http://HOST/api/v1/torrents/HASH
//     404 {"error":"not_found","outcome":"no_peers","message":"no peers found",...}
//     -> reached, outcome "no_peers", phrase "no peers found"
// A service without the API answers with its own 404 page: reached, no outcome.
#pragma once

#include <string>

#include "base/text.h"

namespace pellucor {

struct ServiceAnswer {
  bool reached = false;  // some HTTP reply came back
  std::string outcome;   // the lookup's outcome code, or empty
  GbkText phrase;        // what the service calls it, or empty
};

// Whether `hash` is a hash the API takes: 40 or 64 hex digits, or 32 base-32 letters.
bool IsApiHash(const GbkText& hash);

// Asks the service at `host` ("127.0.0.1:8600") about a hash IsApiHash accepts.
ServiceAnswer AskServiceAbout(const GbkText& host, const GbkText& hash);

}  // namespace pellucor
