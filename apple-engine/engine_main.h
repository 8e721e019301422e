#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <asio/awaitable.hpp>

#include "apple-engine/engine_context.h"

namespace norvi::engine {

// The help text, 466 bytes, without a final line feed.
extern const std::string_view usage;

using ParsedOptions = std::map<std::string, std::string>;

// Reads the arguments in pairs: a name from `allowed`, then its value when one follows.
// Throws HelperError "Unknown option: " for any other name.
ParsedOptions parseOptions(const std::vector<std::string>& arguments,
                           const std::set<std::string>& allowed);

// The "--vocabulary" value as a JSON array of strings; anything else is the empty list.
std::vector<std::string> parseVocabulary(std::string_view text);

// Runs the command the arguments name, on the main serial executor.
asio::awaitable<void> runMain(EngineContext& context);

// The program: runMain on the main thread's executor, the failure report, the exit status.
int runEngineProgram(int argc, char** argv);

}  // namespace norvi::engine
