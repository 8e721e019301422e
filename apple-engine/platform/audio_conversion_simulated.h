#pragma once

#include <memory>

#include "apple-engine/platform/audio_conversion.h"
#include "support/simulation/scenario.h"

namespace norvi::engine {

struct SimulatedAudioConversionOptions {
    bool inputFormatFails = false;
    bool converterFails = false;
};

// Formats, buffers and a converter that really converts: from mono audio at a whole-number
// rate to any sample type, whole-number rate and channel count, resampling by linear
// interpolation (exact when the rates are equal).
std::shared_ptr<AudioConversion> makeSimulatedAudioConversion(
    SimulatedAudioConversionOptions options = {});

// The scenario's "speech.audioConversion" answers. Throws simulation::ScenarioError.
std::shared_ptr<AudioConversion> makeSimulatedAudioConversion(const simulation::Scenario& scenario);

}  // namespace norvi::engine
