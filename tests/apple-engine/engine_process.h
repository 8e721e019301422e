#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"

namespace norvi::engine::testing {

using Environment = std::map<std::string, std::optional<std::string>>;

inline norvi::testing::ProcessOptions processOptions(std::vector<std::string> arguments,
                                                     Environment environment = {},
                                                     std::string standardInput = {}) {
    norvi::testing::ProcessOptions options;
    options.arguments = std::move(arguments);
    options.environment = std::move(environment);
    options.standardInput = std::move(standardInput);
    return options;
}

// Runs norvi-apple-engine to the end.
inline norvi::testing::ProcessResult runEngine(std::vector<std::string> arguments,
                                               Environment environment = {},
                                               std::string standardInput = {}) {
    return norvi::testing::runProcess(
        NORVI_APPLE_ENGINE_PROGRAM,
        processOptions(std::move(arguments), std::move(environment), std::move(standardInput)));
}

}  // namespace norvi::engine::testing
