#include "audio-helper/core/platform/core_graphics.h"
#include "support/simulation/scenario.h"

namespace norvi::helper {
namespace {

class SimulatedCoreGraphics final : public CoreGraphics {
public:
    SimulatedCoreGraphics(bool preflight, bool request, std::uint32_t mainDisplay,
                          std::shared_ptr<simulation::CallRecorder> recorder)
        : preflight_(preflight), request_(request), mainDisplay_(mainDisplay), recorder_(std::move(recorder)) {}

    bool CGPreflightScreenCaptureAccess() override {
        record("CGPreflightScreenCaptureAccess", preflight_);
        return preflight_;
    }

    bool CGRequestScreenCaptureAccess() override {
        record("CGRequestScreenCaptureAccess", request_);
        return request_;
    }

    std::uint32_t CGMainDisplayID() override { return mainDisplay_; }

private:
    void record(const char* call, bool answer) {
        if (recorder_) recorder_->record(call, {{"result", answer}});
    }

    bool preflight_;
    bool request_;
    std::uint32_t mainDisplay_;
    std::shared_ptr<simulation::CallRecorder> recorder_;
};

}  // namespace

std::unique_ptr<CoreGraphics> makeSimulatedCoreGraphics(const simulation::Scenario& scenario) {
    const nlohmann::json& section = scenario.section("coreGraphics");
    simulation::requireKnownKeys(section, {"preflightScreenCaptureAccess", "requestScreenCaptureAccess", "mainDisplayID"},
                                 "coreGraphics");
    return std::make_unique<SimulatedCoreGraphics>(
        simulation::boolValue(section, "preflightScreenCaptureAccess", true, "coreGraphics"),
        simulation::boolValue(section, "requestScreenCaptureAccess", true, "coreGraphics"),
        static_cast<std::uint32_t>(simulation::integerValue(section, "mainDisplayID", 1, "coreGraphics")),
        scenario.recorder());
}

}  // namespace norvi::helper
