#include <charconv>
#include <string>
#include <tuple>

#include "support/platform/operating_system.h"
#include "support/simulation/scenario.h"

namespace norvi {
namespace {

class SimulatedOperatingSystem final : public OperatingSystem {
public:
    explicit SimulatedOperatingSystem(OperatingSystemVersion version) : version_(version) {}

    bool isOperatingSystemAtLeast(OperatingSystemVersion wanted) const override {
        return std::tie(version_.majorVersion, version_.minorVersion, version_.patchVersion) >=
               std::tie(wanted.majorVersion, wanted.minorVersion, wanted.patchVersion);
    }

private:
    OperatingSystemVersion version_;
};

OperatingSystemVersion parseVersion(const std::string& text) {
    OperatingSystemVersion version;
    int* parts[] = {&version.majorVersion, &version.minorVersion, &version.patchVersion};
    const char* cursor = text.data();
    const char* end = text.data() + text.size();
    for (int index = 0; index < 3 && cursor < end; ++index) {
        if (index > 0) {
            if (*cursor != '.') break;
            ++cursor;
        }
        auto [next, error] = std::from_chars(cursor, end, *parts[index]);
        if (error != std::errc() || *parts[index] < 0) {
            cursor = nullptr;
            break;
        }
        cursor = next;
    }
    if (text.empty() || cursor != end) {
        throw simulation::ScenarioError("\"macosVersion\" must look like \"26.4\" or \"14.2.1\", not \"" +
                                        text + "\".");
    }
    return version;
}

}  // namespace

std::unique_ptr<OperatingSystem> makeSimulatedOperatingSystem(const simulation::Scenario& scenario) {
    const std::string text = simulation::stringValue(scenario.document(), "macosVersion", "26.4", "");
    return std::make_unique<SimulatedOperatingSystem>(parseVersion(text));
}

}  // namespace norvi
