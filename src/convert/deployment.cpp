#include "convert/deployment.h"

namespace pellucor {

const char kFirstServiceHost[] = PELLUCOR_FIRST_SERVICE_HOST;
const char kSecondServiceHost[] = PELLUCOR_SECOND_SERVICE_HOST;
const char kSiteTag[] = PELLUCOR_SITE_TAG;
const char HomePageUrl[] = PELLUCOR_HOME_PAGE_URL;

}  // namespace pellucor
