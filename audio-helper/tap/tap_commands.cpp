#include "audio-helper/core/commands.h"
#include "audio-helper/core/helper_error.h"

namespace norvi::helper {

// Process-tap capture is not built yet; both commands say so instead of pretending to run.
void runTapAccessRequest(HelperContext&) {
    throw HelperError("tap-access is not built yet: process-tap capture is missing.");
}

asio::awaitable<void> runTapStream(HelperContext&, const CommandOptions&) {
    throw HelperError("tap-stream is not built yet: process-tap capture is missing.");
    co_return;
}

}  // namespace norvi::helper
