#pragma once

#include <memory>

#include "audio-helper/core/platform/pulse_connection.h"
#include "audio-helper/screencapturekit/platform/screencapturekit.h"

namespace norvi::helper {

// ScreenCaptureKit on the PulseAudio protocol: one display (the default sink, identifier 1),
// the audio clients as the running applications, and audio sample buffers of the mix of every
// playback stream whose application the filter does not exclude. No video frames are
// delivered. The picker has nothing to offer but that display and selects it at once.
std::shared_ptr<ScreenCaptureKit> makePulseScreenCaptureKit(
    std::shared_ptr<pulse::PulseServerLink> link);

}  // namespace norvi::helper
