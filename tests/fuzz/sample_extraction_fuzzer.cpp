// Arbitrary buffer lists (counts, channel numbers, sizes, null data) through both mono mixes.
// The sanitizers catch any read outside the buffers; the frame counts must follow the layout.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "audio-helper/core/sample_extraction.h"

using namespace norvi::helper;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::uint32_t bufferCount = data[0] % 9;
    static constexpr std::uint32_t bitChoices[] = {0, 8, 16, 24, 32, 64, 7, 33};
    const std::uint32_t bits = bitChoices[data[1] % 8];
    const std::uint32_t channelsPerFrame = 1 + data[2] % 8;
    const bool isFloat = data[3] & 1;
    std::size_t offset = 4;

    // Each buffer: channels, null flag, then up to 255 * 4 bytes of its own.
    std::vector<std::vector<std::uint8_t>> blocks;
    AudioBufferListStorage storage = AudioBufferListStorage::allocate(bufferCount);
    auto buffers = audioBuffers(*storage.list());
    for (AudioBuffer& buffer : buffers) {
        if (offset + 3 > size) break;
        buffer.mNumberChannels = data[offset] % 9;
        const bool null = data[offset + 1] == 0xFF;
        const std::size_t length = std::min<std::size_t>(data[offset + 2] * 4u + data[offset] % 4, size - offset - 3);
        offset += 3;
        // Exactly the declared bytes, on the heap, so that any over-read is caught.
        blocks.emplace_back(data + offset, data + offset + length);
        offset += length;
        buffer.mDataByteSize = static_cast<std::uint32_t>(length);
        buffer.mData = null || length == 0 ? nullptr : blocks.back().data();
    }

    MonoSampleExtractor extractor;
    const std::size_t sampleSize = isFloat ? 4 : 2;
    std::size_t maximumFrames = 0;
    for (const AudioBuffer& buffer : buffers) maximumFrames += buffer.mDataByteSize / sampleSize;
    if (extractor.interleaved(*storage.list(), bits, channelsPerFrame, isFloat).size() > maximumFrames) std::abort();
    const auto planar = extractor.nonInterleaved(*storage.list(), bits, isFloat);
    std::size_t longest = 0;
    for (const AudioBuffer& buffer : buffers) {
        if (buffer.mData == nullptr || buffer.mDataByteSize == 0) continue;
        const std::size_t channels = std::max<std::uint32_t>(buffer.mNumberChannels, 1);
        const std::size_t frameBytes = bits >= 8 ? channels * (bits / 8) : 1;
        longest = std::max(longest, buffer.mDataByteSize / frameBytes);
    }
    if (planar.size() != longest) std::abort();
    return 0;
}
