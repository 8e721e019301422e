#include "audio-helper/core/commands.h"
#include "audio-helper/core/helper_error.h"

namespace norvi::helper {

asio::awaitable<void> runMicrophoneWatch(HelperContext&) {
    throw HelperError("mic-watch is not built yet: the microphone activity watch is missing.");
    co_return;
}

}  // namespace norvi::helper
