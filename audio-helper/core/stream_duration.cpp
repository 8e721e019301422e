#include "audio-helper/core/stream_duration.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace norvi::helper {

std::optional<std::chrono::nanoseconds> streamTimeLimit(std::optional<double> seconds) {
    if (!seconds || !(*seconds > 0)) {
        return std::nullopt;
    }
    const double nanoseconds = std::trunc(*seconds * 1e9);
    // 2^63: the first count the clock cannot hold.
    if (!(nanoseconds < 9223372036854775808.0)) {
        return std::nullopt;
    }
    return std::chrono::nanoseconds(static_cast<std::int64_t>(nanoseconds));
}

}  // namespace norvi::helper
