#pragma once

#include <memory>

#include "audio-helper/core/platform/core_graphics.h"
#include "audio-helper/screencapturekit/platform/screencapturekit.h"
#include "audio-helper/tap/platform/core_audio.h"
#include "support/platform/operating_system.h"
#include "support/simulation/scenario.h"

namespace norvi::helper {

// Every platform facility the helper calls, chosen once at start-up.
struct HelperPlatform {
    std::shared_ptr<const simulation::Scenario> scenario;
    std::shared_ptr<OperatingSystem> operatingSystem;
    std::shared_ptr<CoreGraphics> coreGraphics;
    std::shared_ptr<CoreAudio> coreAudio;
    std::shared_ptr<ScreenCaptureKit> screenCaptureKit;
};

// The simulated machine of a scenario.
HelperPlatform makeSimulatedHelperPlatform(std::shared_ptr<const simulation::Scenario> scenario);

// The real machine: audio capture on the audio server, over the PulseAudio protocol. Nothing
// is connected until a command first asks the platform.
HelperPlatform makePulseHelperPlatform();

// The platform NORVI_SIMULATION selects: the simulated machine while it is set, else the real
// one. Throws simulation::ScenarioError.
HelperPlatform makeHelperPlatform();

}  // namespace norvi::helper
