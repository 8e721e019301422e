#include "apple-engine/platform/engine_platform.h"

#include <cstdlib>

#include "apple-engine/platform/audio_conversion_linear.h"
#include "apple-engine/platform/audio_conversion_simulated.h"
#include "apple-engine/platform/speech_pocketsphinx.h"
#include "apple-engine/platform/speech_simulated.h"
#include "apple-engine/platform/translation_apertium.h"
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

EnginePlatform makeLinuxEnginePlatform() {
    EnginePlatform platform;
    platform.operatingSystem = makeLinuxOperatingSystem();
    platform.speech = makePocketsphinxSpeech();
    platform.audioConversion = makeLinearAudioConversion();
    platform.translation = makeApertiumTranslation();
    return platform;
}

EnginePlatform makeEnginePlatform() {
    if (std::getenv("NORVI_SIMULATION") == nullptr) {
        return makeLinuxEnginePlatform();
    }
    return makeSimulatedEnginePlatform(simulation::scenarioFromEnvironment());
}

}  // namespace norvi::engine
