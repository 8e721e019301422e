#include "audio-helper/core/platform/simulated_pacing.h"

#include <poll.h>
#include <unistd.h>

namespace norvi::helper {

void waitUntilStandardOutputHasRoom(const std::function<bool()>& stopping) {
    // Short polls, so that a stop is seen promptly.
    constexpr int pollMilliseconds = 20;
    for (;;) {
        pollfd output{.fd = STDOUT_FILENO, .events = POLLOUT, .revents = 0};
        if (::poll(&output, 1, pollMilliseconds) != 0 || stopping()) {
            return;
        }
    }
}

}  // namespace norvi::helper
