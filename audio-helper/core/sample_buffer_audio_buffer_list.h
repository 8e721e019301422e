#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "audio-helper/core/platform/core_media.h"

namespace norvi::helper {

// The buffer list of a sample buffer could not be obtained; `status` is CoreMedia's.
class SampleBufferAudioBufferListError : public std::runtime_error {
public:
    explicit SampleBufferAudioBufferListError(OSStatus status)
        : std::runtime_error("sample buffer audio buffer list unavailable (status " +
                             std::to_string(status) + ")"),
          status(status) {}
    OSStatus status;
};

// The buffer list of a sample buffer, valid while this object lives: it holds the retained
// block buffer and the storage of the list. A list that needs more room than one entry per
// channel is fetched again with the room the sample buffer asks for.
class SampleBufferAudioBufferList {
public:
    // Throws SampleBufferAudioBufferListError.
    SampleBufferAudioBufferList(const CMSampleBuffer& buffer, const AudioStreamBasicDescription& format);

    const AudioBufferList* list() const { return storage_->list(); }

private:
    std::optional<AudioBufferListStorage> storage_;
    CMBlockBufferRef blockBuffer_;
};

// Runs `body` with the sample buffer's list while its data is retained and returns the body's
// value; throws SampleBufferAudioBufferListError without running the body.
template <typename Body>
auto withSampleBufferAudioBufferList(const CMSampleBuffer& buffer, const AudioStreamBasicDescription& format,
                                     Body&& body) {
    SampleBufferAudioBufferList access(buffer, format);
    return body(access.list());
}

}  // namespace norvi::helper
