#pragma once

#include <memory>

#include "apple-engine/platform/audio_conversion.h"

namespace norvi::engine {

// Formats, buffers and a converter that really converts: from mono audio at a whole-number
// rate to any sample type, whole-number rate and channel count, resampling by linear
// interpolation (exact when the rates are equal).
std::shared_ptr<AudioConversion> makeLinearAudioConversion();

}  // namespace norvi::engine
