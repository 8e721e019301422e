#include <csignal>

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/process_runner.h"

namespace norvi::helper {
namespace {

using nlohmann::json;
using testing::ProcessOptions;
using testing::ProcessResult;

struct SckRun {
    testing::TemporaryDirectory directory;
    std::string callsPath = directory.path() + "/calls.jsonl";

    ProcessOptions options(std::vector<std::string> arguments, json scenario = json::object()) {
        scenario["recordCalls"] = callsPath;
        ProcessOptions options;
        options.arguments = {"sck-stream"};
        options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
        options.environment["NORVI_SIMULATION"] = directory.writeFile("scenario.json", scenario.dump());
        return options;
    }
    ProcessResult run(std::vector<std::string> arguments, json scenario = json::object()) {
        return testing::runProcess(NORVI_AUDIO_HELPER_PROGRAM, options(std::move(arguments), std::move(scenario)));
    }
    std::vector<json> calls(const std::string& name) const {
        std::vector<json> found;
        for (const std::string& line : testing::splitLines(testing::readFile(callsPath))) {
            json call = json::parse(line);
            if (call["call"] == name) found.push_back(call);
        }
        return found;
    }
};

// The record types on standard output, in order, with chunk runs folded into one "pcm_s16le".
std::vector<std::string> recordKinds(const std::string& output) {
    std::vector<std::string> kinds;
    for (const std::string& line : testing::splitLines(output)) {
        const json record = json::parse(line);
        std::string kind = record["type"];
        if (kind == "stream_diagnostic") kind += ":" + record["name"].get<std::string>();
        if (kind == "pcm_s16le" && !kinds.empty() && kinds.back() == kind) continue;
        kinds.push_back(kind);
    }
    return kinds;
}

// The helper writes "/" escaped.
std::string startFailedRecord(const std::string& message) {
    std::string record =
        json({{"details", {{"message", message}}}, {"name", "stream_start_failed"}, {"type", "stream_diagnostic"}}).dump();
    for (std::size_t at = record.find('/'); at != std::string::npos; at = record.find('/', at + 2)) {
        record.insert(at, "\\");
    }
    return record;
}

TEST(SckStream, StartFailuresWriteTheirRecordsInOrderAndFail) {
    const struct {
        json scenario;
        std::vector<std::string> arguments;
        std::string message;
        std::vector<std::string> recordsBefore;
    } cases[] = {
        {{{"screenCaptureKit", {{"errors", {{"getShareableContent", "Content unavailable."}}}}}}, {},
         "Content unavailable.", {}},
        {{{"screenCaptureKit", {{"displays", json::array()}}}}, {},
         "ScreenCaptureKit did not report an available display.", {}},
        {{{"screenCaptureKit", {{"errors", {{"addAudioOutput", "No audio output."}}}}}}, {}, "No audio output.", {}},
        {{{"screenCaptureKit", {{"errors", {{"startCapture", "Capture refused / denied."}}}}}}, {},
         "Capture refused / denied.", {"stream_ended"}},
        {{{"screenCaptureKit", {{"picker", {{"outcome", "cancel"}, {"after", 0.25}}}}}}, {"--use-picker"},
         "ScreenCaptureKit selection was cancelled.",
         {"stream_started", "stream_diagnostic:sck_picker_presented", "pcm_s16le", "stream_ended"}},
        {{{"screenCaptureKit", {{"picker", {{"outcome", "fail"}, {"after", 0}, {"failMessage", "Picker broke."}}}}}},
         {"--use-picker"}, "Picker broke.", {"stream_started", "stream_diagnostic:sck_picker_presented", "stream_ended"}},
        {{{"screenCaptureKit", {{"errors", {{"updateContentFilter", "Filter refused."}}}}}}, {"--use-picker"},
         "Filter refused.", {"stream_started", "stream_diagnostic:sck_picker_presented", "pcm_s16le", "stream_ended"}},
    };
    for (const auto& c : cases) {
        SckRun run;
        const ProcessResult result = run.run(c.arguments, c.scenario);
        EXPECT_EQ(result.exitStatus, 1) << c.message;
        std::vector<std::string> expected = c.recordsBefore;
        expected.push_back("stream_diagnostic:stream_start_failed");
        EXPECT_EQ(recordKinds(result.standardOutput), expected) << c.message;
        const auto lines = testing::splitLines(result.standardOutput);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), startFailedRecord(c.message));
        EXPECT_THAT(result.standardError, ::testing::EndsWith("norvi-audio-helper: " + c.message + "\n"));
    }
}

TEST(SckStream, ARunWithADurationCapturesTheChosenDisplayWithoutTheHelperAndItsHost) {
    SckRun run;
    const json scenario = {{"coreGraphics", {{"mainDisplayID", 5}}},
                           {"screenCaptureKit",
                            {{"displays", {3, 5}},
                             {"applications",
                              {{{"pid", "self"}, {"bundleId", "com.norvi.audio-helper"}},
                               {{"pid", "parent"}, {"bundleId", "com.norvi.host"}},
                               {{"pid", 4242}, {"bundleId", "com.example.music"}},
                               {{"pid", 4343}, {"bundleId", "com.example.chat"}},
                               {{"pid", 4444}, {"bundleId", "com.example.video"}}}},
                             {"specialAudioBuffers", {{{"index", 0}, {"kind", "invalid"}}}},
                             {"invalidScreenBuffersFirst", 1}}}};
    const ProcessResult result =
        run.run({"--duration", "0.45", "--exclude-pid", "4242", "--exclude-bundle-id", "com.example.chat",
                 "--exclude-pid", "777"},
                scenario);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(recordKinds(result.standardOutput), (std::vector<std::string>{"stream_started", "pcm_s16le", "stream_ended"}));
    const auto lines = testing::splitLines(result.standardError);
    ASSERT_EQ(lines.size(), 5u) << result.standardError;
    EXPECT_EQ(lines[0], "sck-stream: starting capture");
    EXPECT_EQ(lines[1], "sck-stream: capture started successfully");
    EXPECT_THAT(lines, ::testing::Contains("sck-stream: received first screen sample buffer"));
    EXPECT_THAT(lines, ::testing::Contains(
                           "sck-stream: received first audio sample buffer format=formatID=lpcm sampleRate=48000.0 "
                           "channels=2 bits=32 bytesPerFrame=4 bytesPerPacket=4 framesPerPacket=1 formatFlags=41 "
                           "samples=480"));
    EXPECT_THAT(lines, ::testing::Contains("sck-stream: emitted first PCM chunk frames=1600 peak=0.0 rms=0.0"));

    const auto filters = run.calls("SCStream.initWithFilter");
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters[0]["displayID"], 5);
    std::vector<std::string> excluded;
    for (const json& application : filters[0]["excludedApplications"]) excluded.push_back(application["bundleId"]);
    EXPECT_EQ(excluded, (std::vector<std::string>{"com.norvi.audio-helper", "com.norvi.host", "com.example.music",
                                                  "com.example.chat"}));
    EXPECT_EQ(filters[0]["exceptingWindows"], json::array());
    EXPECT_EQ(filters[0]["configuration"],
              json::parse(R"([["setCapturesAudio:","YES"],["setExcludesCurrentProcessAudio:","YES"],)"
                          R"(["setQueueDepth:","3"],["setSampleRate:","48000"],["setChannelCount:","2"],)"
                          R"(["setWidth:","2"],["setHeight:","2"],["setMinimumFrameInterval:","1/30"]])"));
    EXPECT_EQ(run.calls("SCShareableContent.getShareableContent")[0]["onScreenWindowsOnly"], true);
    EXPECT_EQ(run.calls("SCShareableContent.getShareableContent")[0]["excludingDesktopWindows"], false);
}

TEST(SckStream, AFirstAudioBufferWithoutAFormatSaysSo) {
    SckRun run;
    const ProcessResult result =
        run.run({"--duration", "0.2"}, {{"screenCaptureKit", {{"specialAudioBuffers", {{{"index", 0}, {"kind", "noFormatDescription"}}}}}}});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_THAT(result.standardError,
                ::testing::HasSubstr("sck-stream: received first audio sample buffer format=format=unknown samples=480\n"));
    EXPECT_THAT(result.standardError,
                ::testing::HasSubstr("sck-stream: audio sample buffer was missing a linear PCM format description\n"));
}

TEST(SckStream, ThePickerSwitchesTheRunningStreamWithoutASecondStart) {
    SckRun run;
    const ProcessResult result =
        run.run({"--use-picker", "--duration", "0.5", "--exclude-bundle-id", "com.example.chat"},
                {{"screenCaptureKit", {{"picker", {{"after", 0.2}, {"selectDisplayID", 9}}}}}});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(recordKinds(result.standardOutput),
              (std::vector<std::string>{"stream_started", "stream_diagnostic:sck_picker_presented", "pcm_s16le",
                                        "stream_ended"}));
    EXPECT_THAT(result.standardError, ::testing::HasSubstr("sck-stream: presenting native ScreenCaptureKit picker\n"));
    EXPECT_THAT(result.standardError, ::testing::HasSubstr("sck-stream: picker selected style=2\n"));
    const auto updates = run.calls("SCStream.updateContentFilter");
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0]["displayID"], 9);
    const auto configurations = run.calls("SCContentSharingPicker.setConfiguration");
    ASSERT_EQ(configurations.size(), 2u);
    EXPECT_EQ(configurations[0]["configuration"],
              json::parse(R"({"allowedPickerModes":16,"allowsChangingSelectedContent":false,"excludedBundleIDs":["com.example.chat"]})"));
    EXPECT_EQ(configurations[1]["configuration"], nullptr);
    const auto counts = run.calls("SCContentSharingPicker.setMaximumStreamCount");
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts[0]["count"], 1);
    EXPECT_EQ(counts[1]["count"], nullptr);
    EXPECT_EQ(run.calls("SCContentSharingPicker.removeObserver").size(), 1u);
    EXPECT_EQ(run.calls("SCContentSharingPicker.presentPickerForStream")[0]["style"], 2);
}

TEST(SckStream, AStreamThatStopsByItselfEndsTheRunAtOnceInBothModes) {
    for (std::vector<std::string> arguments : {std::vector<std::string>{"--duration", "60"}, std::vector<std::string>{}}) {
        SckRun run;
        const auto started = std::chrono::steady_clock::now();
        const ProcessResult result = run.run(
            arguments, {{"screenCaptureKit", {{"stopWithErrorAfter", 0.3}, {"stopWithErrorMessage", "Display went away."}}}});
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(recordKinds(result.standardOutput),
                  (std::vector<std::string>{"stream_started", "pcm_s16le", "stream_ended"}));
        EXPECT_THAT(result.standardError, ::testing::HasSubstr("sck-stream: stream stopped with error: Display went away.\n"));
        // The final stop finds no stream left to stop.
        EXPECT_TRUE(run.calls("SCStream.stopCapture").empty());
    }
}

TEST(SckStream, ATerminationSignalEndsARunWithoutDuration) {
    // An infinite duration sets no time limit: the run waits for a signal.
    for (const auto& [signal, arguments] : {std::pair{SIGTERM, std::vector<std::string>{}},
                                            std::pair{SIGINT, std::vector<std::string>{"--duration", "inf"}}}) {
        SckRun run;
        testing::RunningProcess process(NORVI_AUDIO_HELPER_PROGRAM, run.options(arguments));
        ASSERT_TRUE(process.waitForLines(3));
        process.sendSignal(signal);
        process.sendSignal(signal == SIGTERM ? SIGINT : SIGTERM);
        const ProcessResult result = process.wait();
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.termSignal, 0);
        const auto kinds = recordKinds(result.standardOutput);
        EXPECT_EQ(kinds, (std::vector<std::string>{"stream_started", "pcm_s16le", "stream_ended"}));
        EXPECT_EQ(run.calls("SCStream.stopCapture").size(), 1u);
    }
}

TEST(SckStream, ASignalWhileThePickerIsOpenStopsTheStreamNormally) {
    SckRun run;
    testing::RunningProcess process(NORVI_AUDIO_HELPER_PROGRAM,
                                    run.options({"--use-picker"}, {{"screenCaptureKit", {{"picker", {{"outcome", "none"}}}}}}));
    ASSERT_TRUE(process.waitForOutput(
        [](const std::string& output) { return output.find("sck_picker_presented") != std::string::npos; }));
    process.sendSignal(SIGTERM);
    const ProcessResult result = process.wait();
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(recordKinds(result.standardOutput).back(), "stream_ended");
    EXPECT_THAT(result.standardOutput, ::testing::Not(::testing::HasSubstr("stream_start_failed")));
}

TEST(SckStream, ARunWithADurationLeavesSignalsTheirDefaultAction) {
    SckRun run;
    testing::RunningProcess process(NORVI_AUDIO_HELPER_PROGRAM, run.options({"--duration", "30"}));
    ASSERT_TRUE(process.waitForLines(2));
    process.sendSignal(SIGTERM);
    const ProcessResult result = process.wait();
    EXPECT_EQ(result.termSignal, SIGTERM);
    EXPECT_THAT(result.standardOutput, ::testing::Not(::testing::HasSubstr("stream_ended")));
}

}  // namespace
}  // namespace norvi::helper
