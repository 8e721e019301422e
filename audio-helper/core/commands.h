#pragma once

#include <asio/awaitable.hpp>

#include "audio-helper/core/command_options.h"
#include "audio-helper/core/helper_context.h"

// The command functions the dispatcher calls; each lives with the capture it drives.

namespace norvi::helper {

void runTapAccessRequest(HelperContext& context);
asio::awaitable<void> runScreenCaptureKitStream(HelperContext& context, const CommandOptions& options);
asio::awaitable<void> runTapStream(HelperContext& context, const CommandOptions& options);
asio::awaitable<void> runMicrophoneWatch(HelperContext& context);
void runScreenAccess(HelperContext& context);

}  // namespace norvi::helper
