#pragma once

#include <unistd.h>
#include <functional>
#include <memory>

#include "apple-engine/platform/audio_conversion.h"
#include "apple-engine/platform/speech.h"

namespace norvi::engine {

// 100 ms of the input: 1600 frames of 16 kHz mono 16-bit PCM.
constexpr std::size_t inputBlockBytes = 3200;

// Frames the output buffer of one block gets: the rate-scaled frame count plus 16.
std::uint32_t outputFrameCapacity(double targetSampleRate, std::uint32_t inputFrames);

// Starts the reader thread on `inputFd` (standard input in the program): it reads 3200-byte
// blocks, converts each to `targetFormat` and appends it to the returned stream; at the end of
// the input it finishes the stream and then calls `onEnd` once, on its own thread. Throws
// HelperError when the input format or the converter cannot be made; nothing is read before.
std::shared_ptr<AnalyzerInputStream> makeInputStream(std::shared_ptr<AudioConversion> conversion,
                                                     const AudioFormat& targetFormat,
                                                     std::function<void()> onEnd,
                                                     int inputFd = STDIN_FILENO);

}  // namespace norvi::engine
