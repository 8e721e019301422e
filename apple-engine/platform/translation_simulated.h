#pragma once

#include <memory>

#include "apple-engine/platform/translation.h"
#include "support/simulation/scenario.h"

namespace norvi::engine {

// The translation facility of the scenario's "translation" section (the default machine's when
// it has none). Throws simulation::ScenarioError.
std::shared_ptr<Translation> makeSimulatedTranslation(const simulation::Scenario& scenario);

}  // namespace norvi::engine
