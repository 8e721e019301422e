#pragma once

#include <string_view>

#include <asio/awaitable.hpp>

#include "apple-engine/command_options.h"
#include "apple-engine/engine_context.h"

namespace norvi::engine {

// The help text, 466 bytes, without a final line feed.
extern const std::string_view usage;

// Runs the command the arguments name, on the main serial executor.
asio::awaitable<void> runMain(EngineContext& context);

// The program: runMain on the main thread's executor, the failure report, the exit status.
int runEngineProgram(int argc, char** argv);

}  // namespace norvi::engine
