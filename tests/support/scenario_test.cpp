#include "support/simulation/scenario.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "support/platform/operating_system.h"
#include "tests/support/process_runner.h"

namespace norvi::simulation {
namespace {

TEST(Scenario, VersionGatesFollowTheScenario) {
    auto defaultSystem = makeSimulatedOperatingSystem(*Scenario::defaultMachine());
    EXPECT_TRUE(defaultSystem->isOperatingSystemAtLeast({26, 4, 0}));
    EXPECT_FALSE(defaultSystem->isOperatingSystemAtLeast({26, 4, 1}));
    auto older = makeSimulatedOperatingSystem(*Scenario::fromJson({{"macosVersion", "14.1"}}));
    EXPECT_TRUE(older->isOperatingSystemAtLeast({14, 0, 0}));
    EXPECT_FALSE(older->isOperatingSystemAtLeast({14, 2, 0}));
    for (const char* bad : {"", "14.", "x", "14.2.1.5", "-1"}) {
        EXPECT_THROW(makeSimulatedOperatingSystem(*Scenario::fromJson({{"macosVersion", bad}})),
                     ScenarioError)
            << bad;
    }
}

TEST(Scenario, RejectsUnknownKeysAndBadFiles) {
    EXPECT_THROW(Scenario::fromJson({{"macosVersoin", "14.1"}}), ScenarioError);
    EXPECT_THROW(Scenario::fromJson(nlohmann::json::array()), ScenarioError);
    testing::TemporaryDirectory directory;
    const std::string broken = directory.writeFile("broken.json", "{");
    EXPECT_THROW(Scenario::fromFile(broken), ScenarioError);
    EXPECT_THROW(Scenario::fromFile(directory.path() + "/missing.json"), ScenarioError);
}

TEST(Scenario, RecordsCallsAsJsonLines) {
    testing::TemporaryDirectory directory;
    const std::string record = directory.path() + "/calls.jsonl";
    auto scenario = Scenario::fromJson({{"recordCalls", record}});
    scenario->recorder()->record("First");
    scenario->recorder()->record("Second", {{"result", true}});
    EXPECT_EQ(testing::readFile(record), "{\"call\":\"First\"}\n{\"call\":\"Second\",\"result\":true}\n");
}

}  // namespace
}  // namespace norvi::simulation
