#pragma once

#include <memory>

#include "apple-engine/platform/speech.h"
#include "support/simulation/scenario.h"

namespace norvi::engine {

// The speech recognizer of the scenario's "speech" section (the default machine's when it has
// none). Throws simulation::ScenarioError for a section it cannot use.
std::shared_ptr<Speech> makeSimulatedSpeech(const simulation::Scenario& scenario);

}  // namespace norvi::engine
