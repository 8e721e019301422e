#pragma once

#include <optional>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "apple-engine/engine_context.h"

namespace norvi::engine {

asio::awaitable<void> runTranscribe(EngineContext& context, std::string language,
                                    std::optional<std::string> target,
                                    std::vector<std::string> vocabulary);
asio::awaitable<void> runTranslate(EngineContext& context, std::string language,
                                   std::string target);
asio::awaitable<void> runCapabilities(EngineContext& context);

}  // namespace norvi::engine
