#pragma once

#include <chrono>
#include <optional>

#include <asio/awaitable.hpp>

#include "audio-helper/core/pcm_json_line_writer.h"

namespace norvi::helper {

// Returns when a stream command's run should end: its time limit has passed or, without one,
// SIGINT or SIGTERM has arrived; or a write of the writer's records has failed, since nothing
// more can reach the reader.
asio::awaitable<void> waitForEndOfStream(PcmJsonLineWriter& writer,
                                         std::optional<std::chrono::nanoseconds> limit);

// After the stream has ended and its records have been flushed: fails with the output's
// failure when a record could not be written, so that a lost stream does not end in success.
void requireWrittenOutput(PcmJsonLineWriter& writer);

}  // namespace norvi::helper
