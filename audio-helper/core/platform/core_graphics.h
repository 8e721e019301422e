#pragma once

#include <cstdint>
#include <memory>

namespace norvi::simulation {
class Scenario;
}

namespace norvi::helper {

// CoreGraphics' screen-capture permission answers.
class CoreGraphics {
public:
    virtual ~CoreGraphics() = default;
    // Whether screen and system audio recording is already allowed, without asking.
    virtual bool CGPreflightScreenCaptureAccess() = 0;
    // Asks for the permission (the system may prompt) and says whether it is allowed now.
    virtual bool CGRequestScreenCaptureAccess() = 0;
    // The identifier of the main display.
    virtual std::uint32_t CGMainDisplayID() = 0;
};

// Scenario section "coreGraphics": "preflightScreenCaptureAccess" (default true) and
// "requestScreenCaptureAccess" (default true), "mainDisplayID" (default 1). Calls are recorded when the scenario asks.
std::unique_ptr<CoreGraphics> makeSimulatedCoreGraphics(const simulation::Scenario& scenario);

}  // namespace norvi::helper
