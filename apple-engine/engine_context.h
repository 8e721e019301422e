#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "apple-engine/platform/engine_platform.h"

namespace norvi::engine {

// What a run of the engine works with.
struct EngineContext {
    // The process arguments without the program path.
    std::vector<std::string> arguments;
    // Makes the platform once the command line has been checked.
    std::function<EnginePlatform()> makePlatform = makeEnginePlatform;
    EnginePlatform platform;
};

}  // namespace norvi::engine
