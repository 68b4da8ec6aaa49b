// Deployment values, fixed when the program is built (CMake cache variables of the same
// names): nothing is read at run time.
#pragma once

namespace pellucor {

extern const char kFirstServiceHost[];   // PELLUCOR_FIRST_SERVICE_HOST
extern const char kSecondServiceHost[];  // PELLUCOR_SECOND_SERVICE_HOST
extern const char kSiteTag[];            // PELLUCOR_SITE_TAG: "[tag]" ends the service's file names
extern const char HomePageUrl[];         // PELLUCOR_HOME_PAGE_URL

}  // namespace pellucor
