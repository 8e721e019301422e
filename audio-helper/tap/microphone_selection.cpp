#include "audio-helper/tap/microphone_selection.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include "audio-helper/core/helper_error.h"
#include "audio-helper/tap/audio_object_properties.h"

namespace norvi::helper {
namespace {

constexpr char noMicrophone[] = "No microphone was found.";

bool labelNames(const std::string& label, const std::string& name) {
    return label == name || label.starts_with(name + " (");
}

std::optional<InputDevice> matchingDevice(CoreAudio& coreAudio, const std::string& label) {
    const std::vector<AudioObjectID> devices =
        audioObjectIDArray(coreAudio, kAudioObjectSystemObject, kAudioHardwarePropertyDevices,
                           kAudioObjectPropertyScopeGlobal);
    std::optional<InputDevice> best;
    std::size_t bestLength = 0;
    for (const AudioObjectID device : devices) {
        try {
            if (audioObjectIDArray(coreAudio, device, kAudioDevicePropertyStreams,
                                   kAudioObjectPropertyScopeInput)
                    .empty()) {
                continue;
            }
        } catch (const HelperError&) {
            continue;
        }
        InputDevice candidate;
        try {
            candidate.name = audioObjectCFString(coreAudio, device, kAudioObjectPropertyName,
                                                 kAudioObjectPropertyScopeGlobal);
            candidate.uid = audioObjectCFString(coreAudio, device, kAudioDevicePropertyDeviceUID,
                                                kAudioObjectPropertyScopeGlobal);
        } catch (const HelperError&) {
            continue;
        }
        if (candidate.name.empty() || !labelNames(label, candidate.name)) {
            continue;
        }
        const std::size_t length = userPerceivedLength(candidate.name);
        if (!best || length > bestLength) {
            best = std::move(candidate);
            bestLength = length;
        }
    }
    return best;
}

InputDevice defaultInputDevice(CoreAudio& coreAudio) {
    const auto device = audioObjectValue<AudioObjectID>(
        coreAudio, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice,
        kAudioObjectPropertyScopeGlobal, kAudioObjectUnknown);
    if (device == kAudioObjectUnknown) {
        throw HelperError(noMicrophone);
    }
    try {
        InputDevice chosen;
        chosen.name = audioObjectCFString(coreAudio, device, kAudioObjectPropertyName,
                                          kAudioObjectPropertyScopeGlobal);
        chosen.uid = audioObjectCFString(coreAudio, device, kAudioDevicePropertyDeviceUID,
                                         kAudioObjectPropertyScopeGlobal);
        return chosen;
    } catch (const HelperError&) {
        throw HelperError(noMicrophone);
    }
}

}  // namespace

std::size_t userPerceivedLength(const std::string& text) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UText, decltype(&utext_close)> utf8(
        utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status),
        &utext_close);
    std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> breaks(
        ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status), &ubrk_close);
    if (U_FAILURE(status)) {
        return text.size();
    }
    ubrk_setUText(breaks.get(), utf8.get(), &status);
    if (U_FAILURE(status)) {
        return text.size();
    }
    std::size_t count = 0;
    ubrk_first(breaks.get());
    while (ubrk_next(breaks.get()) != UBRK_DONE) {
        ++count;
    }
    return count;
}

InputDevice resolveInputDevice(CoreAudio& coreAudio, const std::string& label) {
    if (label != "default") {
        if (std::optional<InputDevice> device = matchingDevice(coreAudio, label)) {
            return *device;
        }
    }
    return defaultInputDevice(coreAudio);
}

std::span<const float> InputStreamMixer::mix(
    const AudioBufferList& list, std::span<const AudioStreamBasicDescription> streamFormats) {
    const std::span<const AudioBuffer> buffers = audioBuffers(list);
    // Buffers per stream: a non-interleaved stream of several channels has one per channel.
    groups_.clear();
    std::size_t assigned = 0;
    for (const AudioStreamBasicDescription& format : streamFormats) {
        const bool split = (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0 &&
                           format.mChannelsPerFrame > 1;
        groups_.push_back(split ? format.mChannelsPerFrame : 1);
        assigned += groups_.back();
    }
    if (assigned != buffers.size()) {
        groups_.assign(buffers.size(), 1);
    }
    result_.clear();
    std::size_t next = 0;
    for (const std::size_t group : groups_) {
        stream_.clear();
        const auto divisor = static_cast<float>(group);
        for (std::size_t b = 0; b < group; ++b) {
            const AudioBuffer& buffer = buffers[next + b];
            if (buffer.mData == nullptr || buffer.mDataByteSize == 0) {
                continue;
            }
            const std::size_t channels = buffer.mNumberChannels >= 2 ? buffer.mNumberChannels : 1;
            const std::size_t frames = buffer.mDataByteSize / (4 * channels);
            if (stream_.size() < frames) {
                stream_.resize(frames, 0.0f);
            }
            const auto* bytes = static_cast<const std::byte*>(buffer.mData);
            for (std::size_t frame = 0; frame < frames; ++frame) {
                float sum = 0.0f;
                for (std::size_t channel = 0; channel < channels; ++channel) {
                    float sample;
                    std::memcpy(&sample, bytes + (frame * channels + channel) * sizeof(float),
                                sizeof sample);
                    sum += sample;
                }
                stream_[frame] += sum / static_cast<float>(channels) / divisor;
            }
        }
        next += group;
        if (result_.size() < stream_.size()) {
            result_.resize(stream_.size(), 0.0f);
        }
        for (std::size_t frame = 0; frame < stream_.size(); ++frame) {
            result_[frame] += stream_[frame];
        }
    }
    return result_;
}

std::optional<std::vector<float>> mixInputStreamsToMono(
    const AudioBufferList& list, std::span<const AudioStreamBasicDescription> streamFormats) {
    InputStreamMixer mixer;
    const std::span<const float> mixed = mixer.mix(list, streamFormats);
    if (mixed.empty())
        return std::nullopt;
    return std::vector<float>(mixed.begin(), mixed.end());
}

}  // namespace norvi::helper
