#include <gtest/gtest.h>

#include "audio-helper/core/usage_text.h"
#include "tests/support/process_runner.h"

namespace norvi::helper {
namespace {

using testing::ProcessOptions;
using testing::ProcessResult;
using testing::RunningProcess;
using testing::runProcess;

ProcessResult runHelper(std::vector<std::string> arguments, std::optional<std::string> scenario = "default") {
    ProcessOptions options;
    options.arguments = std::move(arguments);
    options.environment["NORVI_SIMULATION"] = std::move(scenario);
    return runProcess(NORVI_AUDIO_HELPER_PROGRAM, options);
}

const std::string usage(usageText);

TEST(UsageText, Is1400BytesWithIndentedLines) {
    EXPECT_EQ(usage.size(), 1400u);
    EXPECT_NE(usage.back(), '\n');
    const auto lines = testing::splitLines(usage);
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[0], "Usage:");
    EXPECT_EQ(lines[6], "");
    EXPECT_EQ(lines[7], "Notes:");
    for (std::size_t i : {1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}) {
        EXPECT_EQ(lines[i].substr(0, 2), "  ") << lines[i];
        EXPECT_NE(lines[i][2], ' ') << lines[i];
    }
    EXPECT_EQ(lines[15], "  mixes it with the system audio.");
}

TEST(HelperProcess, HelpWordsPrintTheUsageWhateverFollows) {
    for (std::vector<std::string> arguments :
         {std::vector<std::string>{"help"}, {"-h", "--bogus"}, {"--help", "tap-stream", "--duration"}}) {
        const ProcessResult result = runHelper(arguments, std::nullopt);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.standardOutput, usage + "\n");
        EXPECT_EQ(result.standardError, "");
    }
}

TEST(HelperProcess, CommandLineErrorsGoToStandardErrorWithStatus1) {
    const struct {
        std::vector<std::string> arguments;
        std::string standardError;
    } cases[] = {
        {{}, "norvi-audio-helper: Missing command.\n\n" + usage},
        {{"bogus", "--duration", "1"}, "norvi-audio-helper: Unknown command: bogus\n\n" + usage},
        {{"Help"}, "norvi-audio-helper: Unknown command: Help\n\n" + usage},
        {{""}, "norvi-audio-helper: Unknown command: \n\n" + usage},
        {{"tap-stream", "--help"}, "norvi-audio-helper: Unknown option: --help\n"},
        {{"tap-stream", "--duration"}, "norvi-audio-helper: Missing value after --duration.\n"},
        {{"tap-stream", "--duration", "--mute"}, "norvi-audio-helper: Missing value after --duration.\n"},
        {{"tap-stream", "--exclude-pid", "1.5"}, "norvi-audio-helper: Invalid --exclude-pid value: 1.5\n"},
        {{"tap-stream", "--duration", "0"}, "norvi-audio-helper: Invalid --duration value: 0\n"},
        {{"tap-stream", "--duration", "-2"}, "norvi-audio-helper: Invalid --duration value: -2\n"},
        {{"sck-stream", "--duration", "nan"}, "norvi-audio-helper: Invalid --duration value: nan\n"},
        {{"sck-stream", "--mute", "loud"}, "norvi-audio-helper: Invalid --mute value: loud\n"},
        {{"sck-stream", "--display-id", "1", "--window-id", "2", "--use-picker"},
         "norvi-audio-helper: Use either --display-id or --window-id, not both.\n"},
        {{"sck-stream", "--use-picker", "--window-id", "2"},
         "norvi-audio-helper: Use either --use-picker or an explicit --display-id/--window-id target.\n"},
        {{"sck-stream", "--start-timeout", " 1"}, "norvi-audio-helper: Invalid --start-timeout value:  1\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult result = runHelper(c.arguments);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.standardOutput, "");
        EXPECT_EQ(result.standardError, c.standardError);
    }
}

TEST(HelperProcess, ScreenAccessAsksOnlyWhenThePreflightSaysNo) {
    testing::TemporaryDirectory directory;
    const struct {
        const char* coreGraphics;
        std::string output;
        std::string calls;
    } cases[] = {
        {R"({})",
         "{\n  \"granted\" : true,\n  \"requested\" : false,\n  \"status\" : \"granted\",\n  \"type\" : \"screen_access\"\n}\n",
         R"({"call":"CGPreflightScreenCaptureAccess","result":true})" "\n"},
        {R"({"preflightScreenCaptureAccess": false, "requestScreenCaptureAccess": false})",
         "{\n  \"granted\" : false,\n  \"requested\" : true,\n  \"status\" : \"denied\",\n  \"type\" : \"screen_access\"\n}\n",
         R"({"call":"CGPreflightScreenCaptureAccess","result":false})" "\n"
         R"({"call":"CGRequestScreenCaptureAccess","result":false})" "\n"},
        {R"({"preflightScreenCaptureAccess": false})",
         "{\n  \"granted\" : true,\n  \"requested\" : true,\n  \"status\" : \"granted\",\n  \"type\" : \"screen_access\"\n}\n",
         R"({"call":"CGPreflightScreenCaptureAccess","result":false})" "\n"
         R"({"call":"CGRequestScreenCaptureAccess","result":true})" "\n"},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string calls = directory.path() + "/calls" + std::to_string(index) + ".jsonl";
        const std::string scenario = directory.writeFile(
            "scenario" + std::to_string(index++) + ".json",
            std::string(R"({"recordCalls": ")") + calls + R"(", "coreGraphics": )" + c.coreGraphics + "}");
        // Arguments after the command word are never looked at.
        const ProcessResult result = runHelper({"screen-access", "--bogus"}, scenario);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.standardOutput, c.output);
        EXPECT_EQ(result.standardError, "");
        EXPECT_EQ(testing::readFile(calls), c.calls);
    }
}

TEST(HelperProcess, MicWatchIsGatedOnMacOS14Point2) {
    testing::TemporaryDirectory directory;
    const ProcessResult result =
        runHelper({"mic-watch"}, directory.writeFile("old.json", R"({"macosVersion": "14.1"})"));
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.standardError, "norvi-audio-helper: mic-watch requires macOS 14.2 or newer.\n");
}

TEST(HelperProcess, AnUnusableScenarioFailsBeforeTheCommandRuns) {
    testing::TemporaryDirectory directory;
    const std::string path = directory.writeFile("typo.json", R"({"coreGraphics": {"preflight": false}})");
    const ProcessResult result = runHelper({"screen-access"}, path);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.standardError, "norvi-audio-helper: The simulation scenario \"" + path +
                                        "\" is not usable: Unknown scenario key \"coreGraphics.preflight\".\n");
}

// A reader of standard output that goes away ends every command that writes records there:
// a stream stops as on SIGTERM (with or without a time limit), and each exits 1 saying why,
// instead of dying by SIGPIPE or writing into the void.
TEST(HelperProcess, StandardOutputThatIsGoneEndsTheCommandWithStatus1) {
    const std::string gone = "norvi-audio-helper: Failed to write to standard output: Broken pipe\n";
    const std::vector<std::string> commands[] = {
        {"tap-stream"}, {"tap-stream", "--duration", "600"}, {"sck-stream"}, {"sck-stream", "--duration", "600"},
        {"tap-access"}, {"screen-access"}};
    for (const std::vector<std::string>& arguments : commands) {
        const bool streams = arguments.front().ends_with("-stream");
        ProcessOptions options;
        options.arguments = arguments;
        options.environment["NORVI_SIMULATION"] = "default";
        // A stream loses its reader after the started record, a permission command before its
        // only record.
        options.stdoutClosed = !streams;
        RunningProcess helper(NORVI_AUDIO_HELPER_PROGRAM, options);
        if (streams) {
            ASSERT_TRUE(helper.waitForLines(1)) << arguments.front();
            helper.closeStdout();
        }
        const ProcessResult result = helper.wait();
        EXPECT_FALSE(result.timedOut) << arguments.front();
        EXPECT_EQ(result.exitStatus, 1) << arguments.front();
        EXPECT_TRUE(result.standardError.ends_with(gone)) << result.standardError;
    }
}

}  // namespace
}  // namespace norvi::helper
