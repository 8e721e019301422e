#include <chrono>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/process_runner.h"

namespace norvi::helper {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// Runs mic-watch on a scenario for a while, then ends it with SIGTERM (it has no handling of
// its own, so the default action applies) and returns its standard output.
std::string watchFor(std::chrono::milliseconds duration, const json& coreAudio) {
    testing::TemporaryDirectory directory;
    testing::ProcessOptions options;
    options.arguments = {"mic-watch"};
    options.environment["NORVI_SIMULATION"] =
        directory.writeFile("scenario.json", json({{"coreAudio", coreAudio}}).dump());
    testing::RunningProcess process(NORVI_AUDIO_HELPER_PROGRAM, options);
    std::this_thread::sleep_for(duration);
    process.sendSignal(SIGTERM);
    const testing::ProcessResult result = process.wait();
    EXPECT_EQ(result.termSignal, SIGTERM);
    EXPECT_EQ(result.standardError, "");
    return result.standardOutput;
}

json recorder(int pid, const char* bundleID, json between = nullptr) {
    json process = {{"pid", pid}, {"bundleID", bundleID}, {"runningInput", true}};
    if (!between.is_null()) process["runningInputBetween"] = between;
    return process;
}

TEST(MicWatch, StartsWithAnEmptyLineAndStaysQuietWhileNothingChanges) {
    EXPECT_EQ(watchFor(1500ms, {{"processes", {{{"pid", 500}, {"bundleID", "us.zoom.xos"}}}}}),
              "{\"bundleIds\":[],\"type\":\"mic-apps\"}\n");
}

TEST(MicWatch, WritesEachChangeOnceSortedWithoutDuplicatesWhateverTheProcessOrder) {
    json processes = {
        recorder(500, "com.example.b", {0.5, nullptr}),
        recorder(501, "com.example.b", {0.5, nullptr}),
        recorder(502, "Com.example.z", {0.5, nullptr}),
        recorder(503, "com.example.b.helper", {0.5, nullptr}),
        recorder(504, "com.example.a"),
        recorder(505, "com.example/slash"),
        // Starts and stops between two polls: never seen.
        recorder(506, "com.example.brief", {1.2, 1.4}),
        // Unreadable objects and empty IDs drop their process.
        {{"pid", 507}, {"bundleID", "com.example.unreadable"}, {"runningInput", true}, {"statuses", {{"pbid", -50}}}},
        {{"pid", 508}, {"bundleID", "com.example.unknown"}, {"runningInput", true}, {"statuses", {{"piri", 2003329396}}}},
        {{"pid", 509}, {"bundleID", nullptr}, {"runningInput", true}},
        recorder(510, ""),
    };
    const std::string expected =
        "{\"bundleIds\":[\"com.example.a\",\"com.example\\/slash\"],\"type\":\"mic-apps\"}\n"
        "{\"bundleIds\":[\"Com.example.z\",\"com.example.a\",\"com.example.b\",\"com.example.b.helper\","
        "\"com.example\\/slash\"],\"type\":\"mic-apps\"}\n";
    EXPECT_EQ(watchFor(2600ms, {{"processes", processes}}), expected);
    std::reverse(processes.begin(), processes.end());
    EXPECT_EQ(watchFor(2600ms, {{"processes", processes}}), expected);
}

TEST(MicWatch, AnUnreadableProcessListIsAnEmptySet) {
    EXPECT_EQ(watchFor(300ms, {{"processes", {recorder(500, "com.example.a")}},
                               {"statuses", {{"AudioObjectGetPropertyDataSize", {{"prs#", 2003329396}}}}}}),
              "{\"bundleIds\":[],\"type\":\"mic-apps\"}\n");
}

TEST(MicWatch, EndsSoonAfterItsHostExits) {
    // Adopting orphans here stands in for a desktop's subreaper: the watch's new parent is
    // neither its host nor process 1.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    testing::TemporaryDirectory directory;
    testing::ProcessOptions options;
    options.arguments = {"-c", "\"$0\" mic-watch 2>&1 & echo \"pid $!\"; sleep 1", NORVI_AUDIO_HELPER_PROGRAM};
    options.environment["NORVI_SIMULATION"] = "default";
    const auto started = std::chrono::steady_clock::now();
    testing::RunningProcess host("/bin/sh", options);
    const testing::ProcessResult result = host.wait();  // returns once the watch has closed its output
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_LT(elapsed, 3500ms);
    pid_t watch = 0;
    std::vector<std::string> records;
    for (const std::string& line : testing::splitLines(result.standardOutput)) {
        if (line.starts_with("pid ")) {
            watch = std::stoi(line.substr(4));
        } else {
            records.push_back(line);
        }
    }
    EXPECT_THAT(records, ::testing::ElementsAre("{\"bundleIds\":[],\"type\":\"mic-apps\"}"));
    ASSERT_GT(watch, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(watch, &status, 0), watch);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace norvi::helper
