#include "apple-engine/platform/engine_platform.h"

#include "apple-engine/platform/audio_conversion_simulated.h"
#include "apple-engine/platform/speech_simulated.h"
#include "apple-engine/platform/translation_simulated.h"

namespace norvi::engine {

EnginePlatform makeSimulatedEnginePlatform(std::shared_ptr<const simulation::Scenario> scenario) {
    EnginePlatform platform;
    platform.operatingSystem = makeSimulatedOperatingSystem(*scenario);
    platform.speech = makeSimulatedSpeech(*scenario);
    platform.audioConversion = makeSimulatedAudioConversion(*scenario);
    platform.translation = makeSimulatedTranslation(*scenario);
    platform.scenario = std::move(scenario);
    return platform;
}

EnginePlatform makeEnginePlatform() {
    return makeSimulatedEnginePlatform(simulation::scenarioFromEnvironment());
}

}  // namespace norvi::engine
