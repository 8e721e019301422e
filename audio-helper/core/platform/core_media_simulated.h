#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "audio-helper/core/platform/core_media.h"

namespace norvi::helper {

// A sample buffer made in code or from a scenario: its audio is a list of buffers of raw bytes.
class SimulatedSampleBuffer final : public CMSampleBuffer {
public:
    struct Buffer {
        std::uint32_t numberChannels = 1;
        std::vector<std::byte> bytes;
        // A buffer that reports no data at all (a null data pointer).
        bool nullData = false;
    };

    bool valid = true;
    // Absent: no format description at all; present without a stream description: a format
    // description that lacks one.
    std::optional<CMAudioFormatDescription> description;
    CMItemCount sampleCount = 0;
    std::vector<Buffer> buffers;
    // The status every buffer-list request returns instead of the data (0: none).
    OSStatus bufferListStatus = 0;
    // The status of a second request made with a larger list (0: it succeeds).
    OSStatus secondBufferListStatus = 0;
    // Extra room the buffer list needs beyond its entries, to make a first request with room for
    // only the expected entries fail with kCMSampleBufferError_ArrayTooSmall.
    std::size_t extraListBytes = 0;

    // Block buffers handed out and not yet released, across all simulated sample buffers.
    static long liveBlockBuffers();
    // Buffer-list requests made, with the list size each was given.
    mutable std::vector<std::size_t> requestedListSizes;

    bool isValid() const override { return valid; }
    const CMAudioFormatDescription* formatDescription() const override {
        return description ? &*description : nullptr;
    }
    CMItemCount numSamples() const override { return sampleCount; }
    OSStatus getAudioBufferListWithRetainedBlockBuffer(std::size_t* bufferListSizeNeededOut,
                                                       AudioBufferList* bufferListOut,
                                                       std::size_t bufferListSize, std::uint32_t flags,
                                                       CMBlockBufferRef* blockBufferOut) const override;

    // A buffer of interleaved or planar 32-bit float samples, one Buffer per entry of `planes`.
    static std::shared_ptr<SimulatedSampleBuffer> withFloatPlanes(
        const AudioStreamBasicDescription& format, const std::vector<std::vector<float>>& planes,
        std::uint32_t channelsPerBuffer);
};

}  // namespace norvi::helper
