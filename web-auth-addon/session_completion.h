#pragma once

#include "web-auth-addon/platform/authentication_services.h"

namespace norvi::webauth {

// The handler given to the system session: it only posts the delivery to the main queue.
SessionCompletionHandler makeCompletionHandler();

}  // namespace norvi::webauth
