#include "web-auth-addon/platform/simulated_state.h"

namespace norvi::webauth::simulated {

State& state() {
    static State* const shared = new State;  // outlives every environment's teardown
    return *shared;
}

void recordCall(State& shared, std::string_view call, nlohmann::json details) {
    if (shared.scenario && shared.scenario->recorder()) {
        shared.scenario->recorder()->record(call, details);
    }
    nlohmann::json line = {{"call", call}};
    if (details.is_object())
        line.update(details);
    shared.calls.push_back(std::move(line));
}

void loadSimulation() {
    std::lock_guard lock(state().mutex);
    if (!state().scenario)
        state().scenario = simulation::scenarioFromEnvironment();
}

std::vector<nlohmann::json> calls() {
    std::lock_guard lock(state().mutex);
    return state().calls;
}

}  // namespace norvi::webauth::simulated
