#include "audio-helper/core/platform/core_media_simulated.h"

#include <cstring>

namespace norvi::helper {
namespace {

std::atomic<long> liveBlocks{0};

// Holds the sample data for as long as a caller keeps the block buffer.
class SimulatedBlockBuffer final : public CMBlockBuffer {
public:
    explicit SimulatedBlockBuffer(std::vector<SimulatedSampleBuffer::Buffer> buffers)
        : buffers(std::move(buffers)) {
        ++liveBlocks;
    }
    ~SimulatedBlockBuffer() override { --liveBlocks; }

    std::vector<SimulatedSampleBuffer::Buffer> buffers;
};

}  // namespace

long SimulatedSampleBuffer::liveBlockBuffers() { return liveBlocks.load(); }

OSStatus SimulatedSampleBuffer::getAudioBufferListWithRetainedBlockBuffer(
    std::size_t* bufferListSizeNeededOut, AudioBufferList* bufferListOut, std::size_t bufferListSize,
    std::uint32_t /*flags*/, CMBlockBufferRef* blockBufferOut) const {
    const bool firstRequest = requestedListSizes.empty();
    requestedListSizes.push_back(bufferListSize);
    const std::size_t needed =
        audioBufferListSizeInBytes(static_cast<std::uint32_t>(buffers.size())) + extraListBytes;
    if (bufferListSizeNeededOut) {
        *bufferListSizeNeededOut = needed;
    }
    if (bufferListStatus != 0 && firstRequest) {
        return bufferListStatus;
    }
    if (!firstRequest && secondBufferListStatus != 0) {
        return secondBufferListStatus;
    }
    if (bufferListOut == nullptr || bufferListSize < needed) {
        return kCMSampleBufferError_ArrayTooSmall;
    }
    auto block = std::make_shared<SimulatedBlockBuffer>(buffers);
    std::memset(static_cast<void*>(bufferListOut), 0, bufferListSize);
    bufferListOut->mNumberBuffers = static_cast<std::uint32_t>(block->buffers.size());
    auto entries = audioBuffers(*bufferListOut);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        Buffer& source = block->buffers[i];
        entries[i].mNumberChannels = source.numberChannels;
        entries[i].mDataByteSize = static_cast<std::uint32_t>(source.bytes.size());
        entries[i].mData = source.nullData ? nullptr : source.bytes.data();
    }
    if (blockBufferOut) {
        *blockBufferOut = std::move(block);
    }
    return 0;
}

std::shared_ptr<SimulatedSampleBuffer> SimulatedSampleBuffer::withFloatPlanes(
    const AudioStreamBasicDescription& format, const std::vector<std::vector<float>>& planes,
    std::uint32_t channelsPerBuffer) {
    auto buffer = std::make_shared<SimulatedSampleBuffer>();
    buffer->description = CMAudioFormatDescription{format};
    for (const std::vector<float>& plane : planes) {
        Buffer entry;
        entry.numberChannels = channelsPerBuffer;
        entry.bytes.resize(plane.size() * sizeof(float));
        std::memcpy(entry.bytes.data(), plane.data(), entry.bytes.size());
        buffer->buffers.push_back(std::move(entry));
    }
    const std::uint32_t channels = channelsPerBuffer == 0 ? 1 : channelsPerBuffer;
    buffer->sampleCount = planes.empty() ? 0 : static_cast<CMItemCount>(planes[0].size() / channels);
    return buffer;
}

}  // namespace norvi::helper

