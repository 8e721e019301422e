#pragma once

#include <memory>

#include "audio-helper/core/platform/core_graphics.h"
#include "audio-helper/core/platform/pulse_connection.h"

namespace norvi::helper {

// Screen and system-audio recording is allowed when the audio server can be reached; a
// refusal writes the reason to standard error. The main display is 1 (the default sink).
std::shared_ptr<CoreGraphics> makePulseCoreGraphics(std::shared_ptr<pulse::PulseServerLink> link);

}  // namespace norvi::helper
