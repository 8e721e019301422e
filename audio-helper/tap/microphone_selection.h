#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio-helper/core/platform/core_audio_types.h"
#include "audio-helper/tap/platform/core_audio.h"

namespace norvi::helper {

// The microphone added to the tap's aggregate device.
struct InputDevice {
    std::string name;
    std::string uid;
};

// The device a "--microphone" label names: "default" is the default input device; any other
// label matches an input device by its name, or by its name followed by " (" and anything.
// Of several matches the longest name wins; no match falls back to the default device.
// Throws HelperError ("No microphone was found." when there is no usable default).
InputDevice resolveInputDevice(CoreAudio& coreAudio, const std::string& label);

// Names are compared by length in user-perceived characters (grapheme clusters).
std::size_t userPerceivedLength(const std::string& text);

// Mixes one IO cycle of the aggregate device (tap stream and microphone streams) to mono: the
// channels of a stream are averaged, the streams summed. Keeps its storage between calls, so
// the IO thread allocates nothing once it has seen its largest cycle. An empty span means
// there was nothing to mix.
class InputStreamMixer {
  public:
    std::span<const float> mix(const AudioBufferList& list,
                               std::span<const AudioStreamBasicDescription> streamFormats);

  private:
    std::vector<float> result_;
    std::vector<float> stream_;
    std::vector<std::size_t> groups_;
};

std::optional<std::vector<float>> mixInputStreamsToMono(
    const AudioBufferList& list, std::span<const AudioStreamBasicDescription> streamFormats);

}  // namespace norvi::helper
