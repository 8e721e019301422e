#include "audio-helper/core/platform/helper_platform.h"

#include "audio-helper/screencapturekit/platform/screencapturekit_simulated.h"

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

HelperPlatform makeHelperPlatform() {
    std::shared_ptr<const simulation::Scenario> scenario = simulation::scenarioFromEnvironment();
    try {
        return makeSimulatedHelperPlatform(scenario);
    } catch (const simulation::ScenarioError& error) {
        throw scenario->unusable(error);
    }
}

}  // namespace norvi::helper
