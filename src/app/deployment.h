// Deployment values: the services the routes ask and the publisher's site, fixed when the
// program is built (the CMake cache variables PELLUCOR_FIRST_SERVICE_HOST,
// PELLUCOR_SECOND_SERVICE_HOST, PELLUCOR_SITE_TAG and PELLUCOR_HOME_PAGE_URL); nothing is read
// at run time. Only the programs' main() read them: everything else is handed the values it
// needs, so tests give their own.
#pragma once

#include "base/text.h"

namespace pellucor {

struct Deployment {
  GbkText firstServiceHost;   // host[:port] of the first conversion service
  GbkText secondServiceHost;  // host[:port] of the second conversion service
  GbkText siteTag;            // the second service's "[tag]" at the end of its file names
  GbkText homePageUrl;        // HomePageUrl: the publisher's home page, no trailing slash
};

const Deployment& BuiltInDeployment();

}  // namespace pellucor
