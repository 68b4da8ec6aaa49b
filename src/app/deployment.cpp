#include "app/deployment.h"

namespace pellucor {

const Deployment& BuiltInDeployment() {
  static const Deployment deployment{PELLUCOR_FIRST_SERVICE_HOST, PELLUCOR_SECOND_SERVICE_HOST,
                                     PELLUCOR_SITE_TAG, PELLUCOR_HOME_PAGE_URL};
  return deployment;
}

}  // namespace pellucor
