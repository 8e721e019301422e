#include "apple-engine/platform/audio_conversion.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "support/number_text.h"

namespace norvi::engine {
namespace {

const char* commonFormatName(CommonFormat format) {
    switch (format) {
        case CommonFormat::pcmFormatFloat32:
            return "float32";
        case CommonFormat::pcmFormatFloat64:
            return "float64";
        case CommonFormat::pcmFormatInt16:
            return "int16";
        case CommonFormat::pcmFormatInt32:
            return "int32";
    }
    return "unknown";
}

template <typename T>
void allocate(std::vector<std::vector<T>>& planes, std::size_t count, std::size_t size) {
    planes.assign(count, std::vector<T>(size));
}

// A value from -1 to 1 in the sample type; integers (scale > 0) are rounded and clipped.
template <typename T>
T fromUnit(double value, double scale) {
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(value);
    } else {
        const double scaled = std::round(value * scale);
        return static_cast<T>(std::clamp(scaled, -scale, scale - 1));
    }
}

}  // namespace

std::string describeAudioFormat(const AudioFormat& format) {
    return doubleDescription(format.sampleRate) + " Hz, " + std::to_string(format.channelCount) +
           " ch, " + commonFormatName(format.commonFormat) + ", " +
           (format.interleaved ? "interleaved" : "non-interleaved");
}

PcmBuffer::PcmBuffer(const AudioFormat& format, std::uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
    const bool interleaved = format.interleaved || format.channelCount == 1;
    const std::size_t planes = interleaved ? 1 : format.channelCount;
    const std::size_t size =
        static_cast<std::size_t>(frameCapacity) * (interleaved ? format.channelCount : 1);
    switch (format.commonFormat) {
        case CommonFormat::pcmFormatInt16:
            allocate(int16_, planes, size);
            break;
        case CommonFormat::pcmFormatInt32:
            allocate(int32_, planes, size);
            break;
        case CommonFormat::pcmFormatFloat32:
            allocate(float32_, planes, size);
            break;
        case CommonFormat::pcmFormatFloat64:
            allocate(float64_, planes, size);
            break;
    }
}

void PcmBuffer::setFrameLength(std::uint32_t frames) {
    frameLength_ = std::min(frames, frameCapacity_);
}

std::int16_t* PcmBuffer::int16ChannelData() {
    return int16_.empty() ? nullptr : int16_.front().data();
}

const std::int16_t* PcmBuffer::int16ChannelData() const {
    return int16_.empty() ? nullptr : int16_.front().data();
}

std::size_t PcmBuffer::planeIndex(std::uint32_t channel) const {
    return format_.interleaved ? 0 : channel;
}

std::size_t PcmBuffer::sampleIndex(std::uint32_t frame, std::uint32_t channel) const {
    return format_.interleaved ? static_cast<std::size_t>(frame) * format_.channelCount + channel
                               : frame;
}

double PcmBuffer::sample(std::uint32_t frame, std::uint32_t channel) const {
    const std::size_t plane = planeIndex(channel);
    const std::size_t index = sampleIndex(frame, channel);
    switch (format_.commonFormat) {
        case CommonFormat::pcmFormatInt16:
            return int16_[plane][index] / 32768.0;
        case CommonFormat::pcmFormatInt32:
            return int32_[plane][index] / 2147483648.0;
        case CommonFormat::pcmFormatFloat32:
            return float32_[plane][index];
        case CommonFormat::pcmFormatFloat64:
            return float64_[plane][index];
    }
    return 0;
}

void PcmBuffer::setSample(std::uint32_t frame, std::uint32_t channel, double value) {
    const std::size_t plane = planeIndex(channel);
    const std::size_t index = sampleIndex(frame, channel);
    switch (format_.commonFormat) {
        case CommonFormat::pcmFormatInt16:
            int16_[plane][index] = fromUnit<std::int16_t>(std::clamp(value, -1.0, 1.0), 32768.0);
            break;
        case CommonFormat::pcmFormatInt32:
            int32_[plane][index] =
                fromUnit<std::int32_t>(std::clamp(value, -1.0, 1.0), 2147483648.0);
            break;
        case CommonFormat::pcmFormatFloat32:
            float32_[plane][index] = static_cast<float>(value);
            break;
        case CommonFormat::pcmFormatFloat64:
            float64_[plane][index] = value;
            break;
    }
}

template <typename T>
void PcmBuffer::storeMono(std::vector<std::vector<T>>& planes, std::uint32_t firstFrame,
                          const double* values, std::uint32_t count, double scale) {
    const std::uint32_t channels = format_.channelCount;
    if (planes.size() == 1) {
        T* out = planes.front().data() + static_cast<std::size_t>(firstFrame) * channels;
        for (std::uint32_t frame = 0; frame < count; ++frame) {
            const T value = fromUnit<T>(values[frame], scale);
            for (std::uint32_t channel = 0; channel < channels; ++channel) {
                *out++ = value;
            }
        }
        return;
    }
    for (auto& plane : planes) {
        for (std::uint32_t frame = 0; frame < count; ++frame) {
            plane[firstFrame + frame] = fromUnit<T>(values[frame], scale);
        }
    }
}

void PcmBuffer::setMonoFrames(std::uint32_t firstFrame, const double* values, std::uint32_t count) {
    count = std::min(count, frameCapacity_ - std::min(firstFrame, frameCapacity_));
    switch (format_.commonFormat) {
        case CommonFormat::pcmFormatInt16:
            storeMono(int16_, firstFrame, values, count, 32768.0);
            break;
        case CommonFormat::pcmFormatInt32:
            storeMono(int32_, firstFrame, values, count, 2147483648.0);
            break;
        case CommonFormat::pcmFormatFloat32:
            storeMono(float32_, firstFrame, values, count, 0);
            break;
        case CommonFormat::pcmFormatFloat64:
            storeMono(float64_, firstFrame, values, count, 0);
            break;
    }
}

}  // namespace norvi::engine
