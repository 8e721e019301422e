#pragma once

#include <functional>

namespace norvi::helper {

// For a simulated device that delivers audio as fast as possible: waits while standard output
// is a pipe with no room left, that is while the reader has not taken the records already
// written. Real hardware delivers at its fixed rate; without this the simulation would outrun
// any reader and fill the writer's bounded queue only because it is a simulation. Returns at
// once when standard output has room, is not a pipe, or has failed, and soon after `stopping`
// turns true.
void waitUntilStandardOutputHasRoom(const std::function<bool()>& stopping);

}  // namespace norvi::helper
