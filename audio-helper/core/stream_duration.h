#pragma once

#include <chrono>
#include <optional>

namespace norvi::helper {

// The time limit a "--duration" (or "--start-timeout") value sets: the seconds truncated to
// whole nanoseconds. A value too large to count in nanoseconds, infinity included, sets no limit.
std::optional<std::chrono::nanoseconds> streamTimeLimit(std::optional<double> seconds);

}  // namespace norvi::helper
