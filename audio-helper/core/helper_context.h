#pragma once

#include <functional>
#include <string>
#include <vector>

#include <asio/any_io_executor.hpp>

#include "audio-helper/core/platform/helper_platform.h"

namespace norvi::helper {

// What a command needs from the process: its arguments, the platform and the main loop, which
// the main thread serves for the whole run (platform callbacks that belong on the main queue
// are posted there).
struct HelperContext {
    std::vector<std::string> arguments;
    asio::any_io_executor mainExecutor;
    // Made once the command is known, so that help and usage errors need no platform.
    HelperPlatform platform;
    // Called once the command knows how it treats SIGINT and SIGTERM; until then they wait.
    std::function<void()> signalsDecided = [] {};
};

}  // namespace norvi::helper
