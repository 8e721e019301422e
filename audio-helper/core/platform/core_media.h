#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "audio-helper/core/platform/core_audio_types.h"

// CoreMedia sample buffers as the helper uses them: validity, the audio format description,
// the sample count and the buffer list with its retained block buffer.

namespace norvi::helper {

using CMItemCount = long;

constexpr OSStatus kCMSampleBufferError_ArrayTooSmall = -12737;
constexpr std::uint32_t kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment = 1;

// Keeps the sample data behind a buffer list alive; released by dropping the reference.
class CMBlockBuffer {
public:
    virtual ~CMBlockBuffer() = default;
};
using CMBlockBufferRef = std::shared_ptr<CMBlockBuffer>;

// An audio format description; it may lack a stream description.
struct CMAudioFormatDescription {
    std::optional<AudioStreamBasicDescription> streamBasicDescription;
};

class CMSampleBuffer {
public:
    virtual ~CMSampleBuffer() = default;

    virtual bool isValid() const = 0;
    // The format description, or null when the buffer has none.
    virtual const CMAudioFormatDescription* formatDescription() const = 0;
    virtual CMItemCount numSamples() const = 0;
    // Fills `bufferListOut` (of `bufferListSize` bytes) with pointers into the buffer's data and
    // hands out a retained block buffer that keeps them valid. `bufferListSizeNeededOut`, when
    // given, receives the size the list needs; a list that is too small gives
    // kCMSampleBufferError_ArrayTooSmall.
    virtual OSStatus getAudioBufferListWithRetainedBlockBuffer(std::size_t* bufferListSizeNeededOut,
                                                               AudioBufferList* bufferListOut,
                                                               std::size_t bufferListSize,
                                                               std::uint32_t flags,
                                                               CMBlockBufferRef* blockBufferOut) const = 0;
};

inline bool CMSampleBufferIsValid(const CMSampleBuffer& buffer) { return buffer.isValid(); }
inline const CMAudioFormatDescription* CMSampleBufferGetFormatDescription(const CMSampleBuffer& buffer) {
    return buffer.formatDescription();
}
inline const AudioStreamBasicDescription* CMAudioFormatDescriptionGetStreamBasicDescription(
    const CMAudioFormatDescription* description) {
    return description && description->streamBasicDescription ? &*description->streamBasicDescription
                                                              : nullptr;
}
inline CMItemCount CMSampleBufferGetNumSamples(const CMSampleBuffer& buffer) { return buffer.numSamples(); }
inline OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
    const CMSampleBuffer& buffer, std::size_t* bufferListSizeNeededOut, AudioBufferList* bufferListOut,
    std::size_t bufferListSize, std::uint32_t flags, CMBlockBufferRef* blockBufferOut) {
    return buffer.getAudioBufferListWithRetainedBlockBuffer(bufferListSizeNeededOut, bufferListOut,
                                                            bufferListSize, flags, blockBufferOut);
}

}  // namespace norvi::helper
