#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "audio-helper/core/platform/core_audio_types.h"

namespace norvi::helper {

// Mixes a buffer list of linear PCM (32-bit float, or signed 16-bit read as s / 32767) down to
// mono float samples. It keeps its storage between calls, so a capture thread that reuses one
// extractor allocates nothing once the storage has grown to the largest block. An empty span
// means there were no samples.
class MonoSampleExtractor {
public:
    // Every frame is the mean of its channels; the frames of several buffers follow one another.
    std::span<const float> interleaved(const AudioBufferList& list, std::uint32_t bitsPerChannel,
                                       std::uint32_t channelsPerFrame, bool isFloat);
    // Every frame is the mean of all channel samples that any buffer holds at that index.
    std::span<const float> nonInterleaved(const AudioBufferList& list, std::uint32_t bitsPerChannel,
                                          bool isFloat);

private:
    std::vector<float> samples_;
    std::vector<std::uint32_t> counts_;
};

std::optional<std::vector<float>> extractInterleavedMonoFloatSamples(const AudioBufferList& list,
                                                                     std::uint32_t bitsPerChannel,
                                                                     std::uint32_t channelsPerFrame,
                                                                     bool isFloat);
std::optional<std::vector<float>> extractNonInterleavedMonoFloatSamples(const AudioBufferList& list,
                                                                        std::uint32_t bitsPerChannel,
                                                                        bool isFloat);

}  // namespace norvi::helper
