#include "audio-helper/core/sample_buffer_audio_buffer_list.h"

#include <algorithm>

namespace norvi::helper {

SampleBufferAudioBufferList::SampleBufferAudioBufferList(const CMSampleBuffer& buffer,
                                                         const AudioStreamBasicDescription& format) {
    const std::uint32_t maximumBuffers = std::max<std::uint32_t>(format.mChannelsPerFrame, 1);
    storage_.emplace(AudioBufferListStorage::allocate(maximumBuffers));
    const std::size_t size = storage_->size();
    std::size_t needed = size;
    OSStatus status = CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
        buffer, &needed, storage_->list(), size,
        kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment, &blockBuffer_);
    if (status == kCMSampleBufferError_ArrayTooSmall && needed > size) {
        blockBuffer_.reset();
        // The larger block replaces the first list, which is freed here.
        storage_.emplace(needed);
        status = CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
            buffer, &needed, storage_->list(), storage_->size(),
            kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment, &blockBuffer_);
    }
    if (status != 0) {
        throw SampleBufferAudioBufferListError(status);
    }
}

}  // namespace norvi::helper
