#include "audio-helper/core/platform/helper_platform.h"

namespace norvi::helper {

HelperPlatform makeSimulatedHelperPlatform(std::shared_ptr<const simulation::Scenario> scenario) {
    HelperPlatform platform;
    platform.operatingSystem = makeSimulatedOperatingSystem(*scenario);
    platform.coreGraphics = makeSimulatedCoreGraphics(*scenario);
    platform.coreAudio = makeSimulatedCoreAudio(*scenario);
    platform.scenario = std::move(scenario);
    return platform;
}

HelperPlatform makeHelperPlatform() {
    return makeSimulatedHelperPlatform(simulation::scenarioFromEnvironment());
}

}  // namespace norvi::helper
