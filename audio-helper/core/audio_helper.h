#pragma once

#include <exception>

#include <asio/awaitable.hpp>

#include "audio-helper/core/helper_context.h"

namespace norvi::helper {

// Runs the command the arguments name; fails with UsageError, HelperError or a platform error.
asio::awaitable<void> runAudioHelper(HelperContext& context);

// Writes the failure to standard error as the helper reports failures; returns the exit status.
int reportFailure(std::exception_ptr failure);

// The program: runs the command on the command executor while the calling thread serves the
// main loop, and returns the exit status.
int runAudioHelperProgram(int argc, char** argv);

}  // namespace norvi::helper
