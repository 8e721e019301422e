#include "audio-helper/core/platform/helper_platform.h"

#include <cstdlib>

#include "audio-helper/core/platform/pulse_core_graphics.h"
#include "audio-helper/screencapturekit/platform/screencapturekit_pulse.h"
#include "audio-helper/screencapturekit/platform/screencapturekit_simulated.h"
#include "audio-helper/tap/platform/core_audio_pulse.h"

namespace norvi::helper {

HelperPlatform makeSimulatedHelperPlatform(std::shared_ptr<const simulation::Scenario> scenario) {
    HelperPlatform platform;
    platform.operatingSystem = makeSimulatedOperatingSystem(*scenario);
    platform.coreGraphics = makeSimulatedCoreGraphics(*scenario);
    platform.coreAudio = makeSimulatedCoreAudio(*scenario);
    platform.screenCaptureKit = makeSimulatedScreenCaptureKit(*scenario);
    platform.scenario = std::move(scenario);
    return platform;
}

HelperPlatform makePulseHelperPlatform() {
    auto link = std::make_shared<pulse::PulseServerLink>();
    HelperPlatform platform;
    // The audio server's capture stands in for process taps and the microphone watch.
    platform.operatingSystem = makeLinuxOperatingSystem();
    platform.coreGraphics = makePulseCoreGraphics(link);
    platform.coreAudio = makePulseCoreAudio(link);
    platform.screenCaptureKit = makePulseScreenCaptureKit(link);
    return platform;
}

HelperPlatform makeHelperPlatform() {
    if (std::getenv("NORVI_SIMULATION") == nullptr) {
        return makePulseHelperPlatform();
    }
    std::shared_ptr<const simulation::Scenario> scenario = simulation::scenarioFromEnvironment();
    try {
        return makeSimulatedHelperPlatform(scenario);
    } catch (const simulation::ScenarioError& error) {
        throw scenario->unusable(error);
    }
}

}  // namespace norvi::helper
