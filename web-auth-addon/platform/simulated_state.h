#pragma once

#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/simulation/scenario.h"
#include "web-auth-addon/platform/app_kit.h"
#include "web-auth-addon/platform/simulated_platform.h"

// What the simulated AppKit and AuthenticationServices share: the call record and the state
// that the test flavour scripts.
namespace norvi::webauth::simulated {

class SimulatedWindow : public Window {
  public:
    explicit SimulatedWindow(int number) : number(number) {}
    const int number;
};

inline int windowNumber(const Window& window) {
    return static_cast<const SimulatedWindow&>(window).number;
}

class SimulatedSession;

struct State {
    std::mutex mutex;
    std::shared_ptr<const simulation::Scenario> scenario;
    int windowCount = 0;
    bool refuseNextStart = false;
    std::vector<std::shared_ptr<SimulatedSession>> sessions;
    std::vector<SessionRecord> records;
    std::vector<nlohmann::json> calls;
};

State& state();

// Appends to the in-memory log and to the scenario's call record. Callers hold the mutex.
void recordCall(State& shared, std::string_view call, nlohmann::json details = nullptr);

}  // namespace norvi::webauth::simulated
