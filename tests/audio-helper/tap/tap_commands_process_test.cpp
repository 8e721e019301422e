// tap-stream and tap-access run as the host runs them, on scenarios of the simulated machine;
// what they asked of Core Audio comes from the recorded calls.

#include <unistd.h>
#include <csignal>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/process_runner.h"

namespace norvi::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::StartsWith;

constexpr char tapCreated[] = "AudioHardwareCreateProcessTap";
constexpr char aggregateCreated[] = "AudioHardwareCreateAggregateDevice";
constexpr char ioProcCreated[] = "AudioDeviceCreateIOProcID";
constexpr char started[] = "AudioDeviceStart";
constexpr char stopped[] = "AudioDeviceStop";
constexpr char ioProcDestroyed[] = "AudioDeviceDestroyIOProcID";
constexpr char aggregateDestroyed[] = "AudioHardwareDestroyAggregateDevice";
constexpr char tapDestroyed[] = "AudioHardwareDestroyProcessTap";

const std::vector<std::string> fullLifecycle = {
    tapCreated, aggregateCreated, ioProcCreated,      started,
    stopped,    ioProcDestroyed,  aggregateDestroyed, tapDestroyed};

struct TapRun {
    ProcessResult result;
    std::vector<nlohmann::json> records;
    std::vector<nlohmann::json> calls;

    std::vector<std::string> recordNames() const {
        std::vector<std::string> names;
        for (const nlohmann::json& record : records) {
            names.push_back(record["type"] == "stream_diagnostic"
                                ? record["name"].get<std::string>()
                                : record["type"].get<std::string>());
        }
        return names;
    }
    // The creations and teardowns, in order; failed creations count only when they succeeded.
    std::vector<std::string> lifecycle() const {
        std::vector<std::string> names;
        for (const nlohmann::json& call : calls) {
            const std::string name = call["call"];
            if (name.starts_with("AudioObjectGetProperty"))
                continue;
            if ((name == tapCreated || name == aggregateCreated || name == ioProcCreated) &&
                call["status"] != 0) {
                continue;
            }
            names.push_back(name);
        }
        return names;
    }
    const nlohmann::json& firstCall(const std::string& name) const {
        for (const nlohmann::json& call : calls) {
            if (call["call"] == name)
                return call;
        }
        static const nlohmann::json none;
        return none;
    }
};

class TapCommandTest : public ::testing::Test {
  protected:
    std::string scenarioFile(nlohmann::json scenario) {
        ++scenarios_;
        scenario["recordCalls"] = callsPath();
        return directory_.writeFile("scenario-" + std::to_string(scenarios_) + ".json",
                                    scenario.dump());
    }
    std::string callsPath() const {
        return directory_.path() + "/calls-" + std::to_string(scenarios_) + ".jsonl";
    }

    ProcessOptions options(const std::vector<std::string>& arguments,
                           const nlohmann::json& scenario) {
        ProcessOptions processOptions;
        processOptions.arguments = arguments;
        processOptions.environment["NORVI_SIMULATION"] = scenarioFile(scenario);
        return processOptions;
    }

    TapRun collect(ProcessResult result) {
        TapRun run;
        run.result = std::move(result);
        // Stream records are one per line; the pretty tap-access result is checked as text.
        for (const std::string& line : splitLines(run.result.standardOutput)) {
            nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
            if (!record.is_discarded())
                run.records.push_back(std::move(record));
        }
        for (const std::string& line : splitLines(readFile(callsPath()))) {
            run.calls.push_back(nlohmann::json::parse(line));
        }
        return run;
    }

    TapRun run(const std::vector<std::string>& arguments,
               const nlohmann::json& scenario = nlohmann::json::object()) {
        return collect(runProcess(NORVI_AUDIO_HELPER, options(arguments, scenario)));
    }

    TemporaryDirectory directory_;
    int scenarios_ = 0;
};

// Audio as fast as possible, a fixed amount of it: 20 cycles of 480 frames make two chunks.
const nlohmann::json twoChunks = {{"coreAudio", {{"realTime", false}, {"maximumIOCycles", 20}}}};

TEST_F(TapCommandTest, StreamsForItsDurationThenEndsInOrder) {
    const TapRun tap = run({"tap-stream", "--duration", "0.3"}, twoChunks);
    EXPECT_EQ(tap.result.exitStatus, 0);
    // However slow the machine, only chunks come between the started and the ended record.
    const std::vector<std::string> names = tap.recordNames();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names.front(), "stream_started");
    EXPECT_EQ(names.back(), "stream_ended");
    EXPECT_LE(names.size(), 4u);
    for (std::size_t i = 1; i + 1 < names.size(); ++i) {
        EXPECT_EQ(names[i], "pcm_s16le");
    }
    EXPECT_EQ(
        tap.result.standardOutput.substr(0, tap.result.standardOutput.find('\n')),
        "{\"command\":\"tap-stream\",\"inputFormat\":{\"bitsPerChannel\":32,\"bytesPerFrame\":8,"
        "\"bytesPerPacket\":8,\"channelsPerFrame\":2,\"formatFlags\":9,\"formatID\":\"lpcm\","
        "\"framesPerPacket\":1,\"sampleRate\":48000},\"outputChannels\":1,\"outputSampleRate\":"
        "16000,"
        "\"type\":\"stream_started\"}");
    EXPECT_EQ(tap.result.standardError,
              "tap-stream: emitted first PCM chunk frames=1600 peak=0.0 rms=0.0\n");
    EXPECT_THAT(tap.lifecycle(), ElementsAreArray(fullLifecycle));

    const nlohmann::json& tapCall = tap.firstCall(tapCreated);
    EXPECT_EQ(tapCall["name"], "Norvi Process Tap Probe");
    EXPECT_EQ(tapCall["private"], true);
    EXPECT_EQ(tapCall["muteBehavior"], 0);
    EXPECT_EQ(tapCall["exclusive"], true);
    EXPECT_EQ(tapCall["mono"], false);
    const nlohmann::json& description = tap.firstCall(aggregateCreated)["description"];
    std::vector<std::string> keys;
    for (const auto& [key, value] : description.items())
        keys.push_back(key);
    EXPECT_THAT(keys, ElementsAre("name", "private", "tapautostart", "taps", "uid"));
    EXPECT_EQ(description["name"], "Norvi Process Tap Aggregate");
    EXPECT_EQ(description["private"], true);
    EXPECT_EQ(description["tapautostart"], false);
    EXPECT_EQ(description["taps"],
              nlohmann::json::parse(R"([{"drift":true,"uid":)" + tapCall["uuid"].dump() + "}]"));
    const std::string uid = description["uid"];
    EXPECT_THAT(uid, StartsWith("com.norvi.audio-helper.tap."));
    EXPECT_EQ(uid.size(), std::string("com.norvi.audio-helper.tap.").size() + 36);
    EXPECT_EQ(uid, [&] {
        std::string upper = uid;
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return upper.replace(0, 27, "com.norvi.audio-helper.tap.");
    }());

    // Each start makes a new aggregate UID.
    const TapRun again = run({"tap-stream", "--duration", "0.1"}, twoChunks);
    EXPECT_NE(again.firstCall(aggregateCreated)["description"]["uid"], uid);
}

TEST_F(TapCommandTest, MicrophoneAddsItsDiagnosticsAndTheSubDevice) {
    // Real-time cycles: the first chunks come well after the signal handling is in place.
    nlohmann::json scenario = {{"coreAudio", nlohmann::json::object()}};
    scenario["coreAudio"]["plays"] = {{"signal", "sine"}, {"frequency", 440}, {"amplitude", 0.25}};
    RunningProcess helper(NORVI_AUDIO_HELPER,
                          options({"tap-stream", "--microphone", "default", "--mute", "muted"}, scenario));
    ASSERT_TRUE(helper.waitForLines(5));
    helper.sendSignal(SIGTERM);
    const TapRun tap = collect(helper.wait());
    EXPECT_EQ(tap.result.exitStatus, 0);
    std::vector<std::string> names = tap.recordNames();
    ASSERT_GE(names.size(), 6u);
    EXPECT_EQ(names.back(), "stream_ended");
    names.pop_back();
    names.resize(5);
    EXPECT_THAT(names, ElementsAre("stream_started", "microphone_selected", "microphone_mix_format",
                                   "pcm_s16le", "pcm_s16le"));
    EXPECT_EQ(tap.records[1]["details"], nlohmann::json({{"name", "Built-in Microphone"}}));
    EXPECT_EQ(tap.records[2]["details"]["sampleRate"], "48000.0");
    EXPECT_EQ(
        tap.records[2]["details"]["streams"],
        "formatID=lpcm sampleRate=48000.0 channels=1 bits=32 bytesPerFrame=4 bytesPerPacket=4 "
        "framesPerPacket=1 formatFlags=9 | formatID=lpcm sampleRate=48000.0 channels=2 bits=32 "
        "bytesPerFrame=8 bytesPerPacket=8 framesPerPacket=1 formatFlags=9");
    // The tap's sine reaches the mix: 0.25 shaped is about 0.245.
    EXPECT_NEAR(tap.records[3]["peak"].get<double>(), 0.245, 0.002);
    EXPECT_EQ(tap.firstCall(tapCreated)["muteBehavior"], 1);

    const nlohmann::json& description = tap.firstCall(aggregateCreated)["description"];
    EXPECT_EQ(description.size(), 7u);
    EXPECT_EQ(description["master"], "BuiltInMicrophoneDevice");
    EXPECT_EQ(description["subdevices"],
              nlohmann::json::parse(R"([{"uid":"BuiltInMicrophoneDevice"}])"));
    EXPECT_THAT(tap.lifecycle(), ElementsAreArray(fullLifecycle));
}

TEST_F(TapCommandTest, EveryStartFailureIsReportedThenRaised) {
    struct Case {
        std::string name;
        nlohmann::json coreAudio;
        bool microphone;
        std::string message;
        std::vector<std::string> records;
        std::vector<std::string> lifecycle;
    };
    const std::vector<std::string> afterAggregate = {tapCreated, aggregateCreated,
                                                     aggregateDestroyed, tapDestroyed};
    const std::vector<std::string> afterIOProc = {tapCreated, aggregateCreated, ioProcCreated,
                                                  aggregateDestroyed, tapDestroyed};
    const std::vector<std::string> micRecords = {"stream_started", "microphone_selected"};
    const std::vector<Case> cases = {
        {"tap",
         {{"statuses", {{"AudioHardwareCreateProcessTap", "what"}}}},
         false,
         "AudioHardwareCreateProcessTap failed with OSStatus 2003329396 ('what').",
         {},
         {}},
        {"tap format",
         {{"statuses", {{"AudioObjectGetPropertyData", {{"tfmt", -50}}}}}},
         false,
         "AudioObjectGetPropertyData(tfmt) failed with OSStatus -50.",
         {},
         {tapCreated, tapDestroyed}},
        {"no microphone",
         {{"devices", nlohmann::json::array()}},
         true,
         "No microphone was found.",
         {"stream_started"},
         {tapCreated, tapDestroyed}},
        {"aggregate",
         {{"statuses", {{"AudioHardwareCreateAggregateDevice", 1}}}},
         false,
         "AudioHardwareCreateAggregateDevice failed with OSStatus 1.",
         {"stream_started"},
         {tapCreated, tapDestroyed}},
        {"nominal rate read",
         {{"statuses", {{"AudioObjectGetPropertyData", {{"nsrt", 1234}}}}}},
         true,
         "AudioObjectGetPropertyData(nsrt) failed with OSStatus 1234 ('1234').",
         micRecords,
         afterAggregate},
        {"no nominal rate",
         {{"aggregateSampleRate", 0}},
         true,
         "The microphone aggregate reported no sample rate.",
         micRecords,
         afterAggregate},
        {"stream list size",
         {{"statuses", {{"AudioObjectGetPropertyDataSize", {{"stm#", -50}}}}}},
         true,
         "AudioObjectGetPropertyDataSize(stm#) failed with OSStatus -50.",
         micRecords,
         afterAggregate},
        {"stream list",
         {{"statuses", {{"AudioObjectGetPropertyData", {{"stm#", -50}}}}}},
         true,
         "AudioObjectGetPropertyData(stm#) failed with OSStatus -50.",
         micRecords,
         afterAggregate},
        {"stream format",
         {{"statuses", {{"AudioObjectGetPropertyData", {{"sfmt", "nope"}}}}}},
         true,
         "AudioObjectGetPropertyData(sfmt) failed with OSStatus 1852797029 ('nope').",
         micRecords,
         afterAggregate},
        {"IO callback",
         {{"statuses", {{"AudioDeviceCreateIOProcID", -1}}}},
         false,
         "AudioDeviceCreateIOProcID failed with OSStatus -1.",
         {"stream_started"},
         {tapCreated, aggregateCreated, aggregateDestroyed, tapDestroyed}},
        {"no IO callback handle",
         {{"emptyIOProcID", true}},
         false,
         "AudioDeviceCreateIOProcID did not return an IOProc ID.",
         {"stream_started"},
         afterIOProc},
        {"start",
         {{"statuses", {{"AudioDeviceStart", "what"}}}},
         false,
         "AudioDeviceStart failed with OSStatus 2003329396 ('what').",
         {"stream_started"},
         fullLifecycle},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> arguments = {"tap-stream", "--duration", "5"};
        if (c.microphone) {
            arguments.insert(arguments.end(), {"--microphone", "default"});
        }
        const TapRun tap = run(arguments, {{"coreAudio", c.coreAudio}});
        EXPECT_EQ(tap.result.exitStatus, 1);
        EXPECT_EQ(tap.result.standardError, "norvi-audio-helper: " + c.message + "\n");
        std::vector<std::string> expected = c.records;
        expected.push_back("stream_start_failed");
        EXPECT_THAT(tap.recordNames(), ElementsAreArray(expected));
        ASSERT_FALSE(tap.records.empty());
        EXPECT_EQ(tap.records.back()["details"], nlohmann::json({{"message", c.message}}));
        EXPECT_THAT(tap.lifecycle(), ElementsAreArray(c.lifecycle));
    }
}

TEST_F(TapCommandTest, StartThatNeverReturnsIsGivenUpAfterTheTimeLimit) {
    const TapRun tap = run({"tap-stream", "--start-timeout", "0.5"},
                           {{"coreAudio", {{"startDelaySeconds", "forever"}}}});
    const std::string message =
        "AudioDeviceStart did not return within 0.5s. The tap aggregate may be waiting for active "
        "audio or may need "
        "a different read path.";
    EXPECT_EQ(tap.result.exitStatus, 1);
    EXPECT_EQ(tap.result.standardError, "norvi-audio-helper: " + message + "\n");
    EXPECT_THAT(tap.recordNames(), ElementsAre("stream_started", "stream_start_failed"));
    EXPECT_EQ(tap.records.back()["details"]["message"], message);
    // Nothing is left behind: every creation has its teardown, in reverse order.
    EXPECT_THAT(tap.lifecycle(), ElementsAreArray(fullLifecycle));
}

TEST_F(TapCommandTest, ExclusionListAsPassedToTheTap) {
    const nlohmann::json scenario = {{"coreAudio",
                                      {{"realTime", false},
                                       {"maximumIOCycles", 0},
                                       {"processes",
                                        {{{"pid", 4001}, {"bundleID", "com.example.player"}},
                                         {{"pid", 4002}, {"bundleID", "com.example.Player"}},
                                         {{"pid", 4003}, {"bundleID", "com.example.player.helper"}},
                                         {{"pid", 4004}, {"bundleID", "com.example.other"}}}}}}};
    const TapRun tap =
        run({"tap-stream", "--duration", "0.1", "--exclude-pid", "0", "--exclude-pid", "1",
             "--exclude-pid", "-3", "--exclude-pid", "4004", "--exclude-pid", "4004",
             "--exclude-pid", "999999", "--exclude-bundle-id", "com.example.player",
             "--exclude-bundle-id", "com.example.other"},
            scenario);
    EXPECT_EQ(tap.result.exitStatus, 0);
    // Object IDs are handed out from 100 in order: the helper, its parent, then the scenario's.
    EXPECT_EQ(tap.firstCall(tapCreated)["processes"], nlohmann::json({100, 101, 105, 102}));
    // PIDs below 2 are never translated.
    std::vector<int> translated;
    for (const nlohmann::json& call : tap.calls) {
        if (call["call"] == "AudioObjectGetPropertyData" && call["selector"] == "id2p") {
            translated.push_back(call["qualifier"]);
        }
    }
    // The helper's own PID first, then its parent (this test), then the options in order.
    ASSERT_EQ(translated.size(), 5u);
    EXPECT_THAT(std::vector<int>(translated.begin() + 1, translated.end()),
                ElementsAre(static_cast<int>(getpid()), 4004, 4004, 999999));
}

TEST_F(TapCommandTest, TerminationSignalEndsAStreamWithoutDuration) {
    for (const int signal : {SIGINT, SIGTERM}) {
        RunningProcess helper(NORVI_AUDIO_HELPER,
                              options({"tap-stream"}, nlohmann::json::object()));
        ASSERT_TRUE(helper.waitForLines(2));
        helper.sendSignal(signal);
        helper.sendSignal(signal);
        const TapRun tap = collect(helper.wait());
        EXPECT_EQ(tap.result.exitStatus, 0);
        EXPECT_EQ(tap.recordNames().front(), "stream_started");
        EXPECT_EQ(tap.recordNames().back(), "stream_ended");
        EXPECT_THAT(tap.lifecycle(), ElementsAreArray(fullLifecycle));
    }
}

TEST_F(TapCommandTest, InfiniteDurationRunsUntilASignal) {
    RunningProcess helper(NORVI_AUDIO_HELPER,
                          options({"tap-stream", "--duration", "inf"}, nlohmann::json::object()));
    ASSERT_TRUE(helper.waitForLines(2));
    helper.sendSignal(SIGTERM);
    const TapRun tap = collect(helper.wait());
    EXPECT_EQ(tap.result.exitStatus, 0);
    EXPECT_EQ(tap.recordNames().back(), "stream_ended");
}

TEST_F(TapCommandTest, OlderSystemsAreRefusedBeforeAnything) {
    for (const std::string command : {"tap-stream", "tap-access"}) {
        const TapRun tap = run({command}, {{"macosVersion", "14.1"}});
        EXPECT_EQ(tap.result.exitStatus, 1);
        EXPECT_EQ(tap.result.standardOutput, "");
        EXPECT_EQ(tap.result.standardError,
                  "norvi-audio-helper: Core Audio process taps require macOS 14.2 or newer.\n");
        EXPECT_TRUE(tap.calls.empty());
    }
}

TEST_F(TapCommandTest, TapAccessReportsGrantedOrRefused) {
    const TapRun granted = run({"tap-access"});
    EXPECT_EQ(granted.result.exitStatus, 0);
    EXPECT_EQ(
        granted.result.standardOutput,
        "{\n  \"granted\" : true,\n  \"requested\" : true,\n  \"type\" : \"tap_access\"\n}\n");
    EXPECT_THAT(granted.lifecycle(), ElementsAreArray(fullLifecycle));

    const TapRun refused =
        run({"tap-access"},
            {{"coreAudio", {{"statuses", {{"AudioHardwareCreateProcessTap", "what"}}}}}});
    EXPECT_EQ(refused.result.exitStatus, 0);
    EXPECT_EQ(refused.result.standardOutput,
              "{\n  \"granted\" : false,\n  \"message\" : \"AudioHardwareCreateProcessTap failed "
              "with OSStatus "
              "2003329396 ('what').\",\n  \"requested\" : true,\n  \"type\" : \"tap_access\"\n}\n");
    EXPECT_EQ(refused.result.standardError, "");
}

}  // namespace
}  // namespace norvi::testing
