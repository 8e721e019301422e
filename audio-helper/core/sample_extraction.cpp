#include "audio-helper/core/sample_extraction.h"

#include <algorithm>
#include <cstring>

namespace norvi::helper {
namespace {

// Reads sample `index` of a buffer; the caller keeps `index` inside the buffer.
float sampleAt(const AudioBuffer& buffer, std::size_t index, bool isFloat) {
    const auto* bytes = static_cast<const std::byte*>(buffer.mData);
    if (isFloat) {
        float value;
        std::memcpy(&value, bytes + index * sizeof(float), sizeof value);
        return value;
    }
    std::int16_t value;
    std::memcpy(&value, bytes + index * sizeof(std::int16_t), sizeof value);
    return static_cast<float>(value) / 32767.0f;
}

std::size_t sampleSize(bool isFloat) { return isFloat ? sizeof(float) : sizeof(std::int16_t); }

// Frames of `frameChannels` samples that a buffer holds. The frame size comes from the bits per
// channel; frames are also kept within the bytes the samples really take, so a format whose
// bits per channel disagree with the sample type never reads past the buffer.
std::size_t frameCount(const AudioBuffer& buffer, std::size_t frameBytes, std::size_t frameChannels,
                       bool isFloat) {
    const std::size_t frames = buffer.mDataByteSize / frameBytes;
    return std::min(frames, buffer.mDataByteSize / (frameChannels * sampleSize(isFloat)));
}

}  // namespace

std::span<const float> MonoSampleExtractor::interleaved(const AudioBufferList& list,
                                                        std::uint32_t bitsPerChannel,
                                                        std::uint32_t channelsPerFrame, bool isFloat) {
    samples_.clear();
    for (const AudioBuffer& buffer : audioBuffers(list)) {
        if (buffer.mData == nullptr || buffer.mDataByteSize == 0) {
            continue;
        }
        const std::size_t channels =
            std::max<std::size_t>(buffer.mNumberChannels != 0 ? buffer.mNumberChannels : channelsPerFrame, 1);
        const std::size_t frameBytes = std::max<std::size_t>(channels * (bitsPerChannel / 8), 1);
        if (buffer.mDataByteSize < frameBytes) {
            continue;
        }
        const std::size_t frames = frameCount(buffer, frameBytes, channels, isFloat);
        const auto divisor = static_cast<float>(channels);
        for (std::size_t frame = 0; frame < frames; ++frame) {
            float sum = 0;
            for (std::size_t channel = 0; channel < channels; ++channel) {
                sum += sampleAt(buffer, frame * channels + channel, isFloat);
            }
            samples_.push_back(sum / divisor);
        }
    }
    return samples_;
}

std::span<const float> MonoSampleExtractor::nonInterleaved(const AudioBufferList& list,
                                                           std::uint32_t bitsPerChannel, bool isFloat) {
    samples_.clear();
    counts_.clear();
    for (const AudioBuffer& buffer : audioBuffers(list)) {
        if (buffer.mData == nullptr || buffer.mDataByteSize == 0) {
            continue;
        }
        const std::size_t channels = std::max<std::uint32_t>(buffer.mNumberChannels, 1);
        const std::size_t frameBytes = bitsPerChannel >= 8 ? channels * (bitsPerChannel / 8) : 1;
        const std::size_t frames = frameCount(buffer, frameBytes, channels, isFloat);
        if (samples_.size() < buffer.mDataByteSize / frameBytes) {
            samples_.resize(buffer.mDataByteSize / frameBytes, 0.0f);
            counts_.resize(samples_.size(), 0);
        }
        for (std::size_t frame = 0; frame < frames; ++frame) {
            float sum = 0;
            for (std::size_t channel = 0; channel < channels; ++channel) {
                sum += sampleAt(buffer, frame * channels + channel, isFloat);
            }
            samples_[frame] += sum;
            counts_[frame] += static_cast<std::uint32_t>(channels);
        }
    }
    for (std::size_t frame = 0; frame < samples_.size(); ++frame) {
        samples_[frame] /= static_cast<float>(std::max<std::uint32_t>(counts_[frame], 1));
    }
    return samples_;
}

std::optional<std::vector<float>> extractInterleavedMonoFloatSamples(const AudioBufferList& list,
                                                                     std::uint32_t bitsPerChannel,
                                                                     std::uint32_t channelsPerFrame,
                                                                     bool isFloat) {
    MonoSampleExtractor extractor;
    const std::span<const float> samples = extractor.interleaved(list, bitsPerChannel, channelsPerFrame, isFloat);
    if (samples.empty()) return std::nullopt;
    return std::vector<float>(samples.begin(), samples.end());
}

std::optional<std::vector<float>> extractNonInterleavedMonoFloatSamples(const AudioBufferList& list,
                                                                        std::uint32_t bitsPerChannel,
                                                                        bool isFloat) {
    MonoSampleExtractor extractor;
    const std::span<const float> samples = extractor.nonInterleaved(list, bitsPerChannel, isFloat);
    if (samples.empty()) return std::nullopt;
    return std::vector<float>(samples.begin(), samples.end());
}

}  // namespace norvi::helper
