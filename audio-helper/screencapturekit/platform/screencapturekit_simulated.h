#pragma once

#include <memory>

#include "audio-helper/screencapturekit/platform/screencapturekit.h"

namespace norvi::simulation {
class Scenario;
}

namespace norvi::helper {

// ScreenCaptureKit as the scenario's "screenCaptureKit" section describes it (docs/simulation.md);
// throws simulation::ScenarioError for a section it cannot use.
std::unique_ptr<ScreenCaptureKit> makeSimulatedScreenCaptureKit(const simulation::Scenario& scenario);

}  // namespace norvi::helper
