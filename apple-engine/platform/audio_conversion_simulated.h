#pragma once

#include <memory>

#include "apple-engine/platform/audio_conversion.h"
#include "support/simulation/scenario.h"

namespace norvi::engine {

struct SimulatedAudioConversionOptions {
    bool inputFormatFails = false;
    bool converterFails = false;
};

// The linear conversion of audio_conversion_linear.h, failing where the options say.
std::shared_ptr<AudioConversion> makeSimulatedAudioConversion(
    SimulatedAudioConversionOptions options = {});

// The scenario's "speech.audioConversion" answers. Throws simulation::ScenarioError.
std::shared_ptr<AudioConversion> makeSimulatedAudioConversion(const simulation::Scenario& scenario);

}  // namespace norvi::engine
