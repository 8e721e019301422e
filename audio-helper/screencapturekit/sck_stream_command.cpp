#include "audio-helper/core/commands.h"
#include "audio-helper/core/helper_error.h"

namespace norvi::helper {

asio::awaitable<void> runScreenCaptureKitStream(HelperContext&, const CommandOptions&) {
    throw HelperError("sck-stream is not built yet: ScreenCaptureKit capture is missing.");
    co_return;
}

}  // namespace norvi::helper
