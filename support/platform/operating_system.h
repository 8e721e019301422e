#pragma once

#include <memory>

namespace norvi {

namespace simulation {
class Scenario;
}

struct OperatingSystemVersion {
    int majorVersion = 0;
    int minorVersion = 0;
    int patchVersion = 0;
};

// The operating-system version test both programs gate features on.
class OperatingSystem {
public:
    virtual ~OperatingSystem() = default;
    virtual bool isOperatingSystemAtLeast(OperatingSystemVersion version) const = 0;
};

// Linux, which offers everything the programs gate on a macOS version (its own backends stand
// in for those frameworks): every version test passes.
std::unique_ptr<OperatingSystem> makeLinuxOperatingSystem();

// The simulated system reports the scenario's "macosVersion" ("major.minor[.patch]"),
// 26.4 on the default machine. Throws simulation::ScenarioError for a malformed version.
std::unique_ptr<OperatingSystem> makeSimulatedOperatingSystem(const simulation::Scenario& scenario);

}  // namespace norvi
