#pragma once

#include <memory>

#include "apple-engine/platform/audio_conversion.h"
#include "apple-engine/platform/speech.h"
#include "apple-engine/platform/translation.h"
#include "support/platform/operating_system.h"
#include "support/simulation/scenario.h"

namespace norvi::engine {

// Every platform facility the engine calls, chosen once per run.
struct EnginePlatform {
    std::shared_ptr<const simulation::Scenario> scenario;
    std::shared_ptr<OperatingSystem> operatingSystem;
    std::shared_ptr<Speech> speech;
    std::shared_ptr<AudioConversion> audioConversion;
    std::shared_ptr<Translation> translation;
};

// The simulated machine of a scenario. Throws simulation::ScenarioError.
EnginePlatform makeSimulatedEnginePlatform(std::shared_ptr<const simulation::Scenario> scenario);

// The real machine: recognition with PocketSphinx, translation with apertium, both offline
// (docs/linux-engine-backend.md). Nothing is loaded or started until a command asks.
EnginePlatform makeLinuxEnginePlatform();

// The platform NORVI_SIMULATION selects: the simulated machine while it is set, else the real
// one. Throws simulation::ScenarioError.
EnginePlatform makeEnginePlatform();

}  // namespace norvi::engine
