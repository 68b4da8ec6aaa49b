// The two conversion routes. Each reads the magnet box, asks its service, reports in the
// status log (the first route's two service failures in message boxes) and saves the torrent
// in `directory` — the run directory in the program; tests give a directory and the fake
// server's host.
#pragma once

#include "base/text.h"
#include "convert/deployment.h"
#include "convert/route_view.h"

namespace pellucor {

// Posts the hash to the first service and saves the torrent it returns under a random
// four-digit name ("1437.torrent"), never over another file.
void RunFirstRoute(RouteView& view, const GbkText& directory,
                   const GbkText& host = kFirstServiceHost);

// Posts the link to the second service, previews the file list from the page, follows the
// page's download link and saves the torrent under the name the service sends.
void RunSecondRoute(RouteView& view, const GbkText& directory,
                    const GbkText& host = kSecondServiceHost, const GbkText& siteTag = kSiteTag);

// The name the second service sends, made safe to write inside the run directory: the part
// after the last "/" or "\", characters Windows forbids in names replaced by "_", trailing
// dots and spaces trimmed; empty for a name that cannot stand ("", ".", "..").
//   "../../x:y" -> "x_y";   "a\x95\x5C" -> kept (5C is the trail byte of a character)
GbkText SafeFileName(const GbkText& name);

}  // namespace pellucor
