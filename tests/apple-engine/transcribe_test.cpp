// transcribe, end to end on scenarios of the simulated machine.
#include <cmath>
#include <numbers>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/apple-engine/engine_process.h"

namespace norvi::engine {
namespace {

using nlohmann::json;
using norvi::testing::ProcessResult;
using norvi::testing::RunningProcess;
using norvi::testing::splitLines;
using norvi::testing::TemporaryDirectory;
using testing::Environment;
using testing::runEngine;

// 16 kHz mono 16-bit little-endian: `seconds` of a 440 Hz tone, or of silence.
std::string pcm(double seconds, double amplitude = 0) {
    std::string bytes;
    const auto frames = static_cast<int>(seconds * 16000);
    for (int frame = 0; frame < frames; ++frame) {
        const auto sample = static_cast<std::int16_t>(std::lround(
            amplitude * 32767 * std::sin(2 * std::numbers::pi * 440 * frame / 16000.0)));
        bytes += static_cast<char>(sample & 0xFF);
        bytes += static_cast<char>((sample >> 8) & 0xFF);
    }
    return bytes;
}

class Transcribe : public ::testing::Test {
  protected:
    Environment scenario(const json& document, bool debug = false) {
        Environment environment{
            {"NORVI_SIMULATION",
             directory_.writeFile("scenario" + std::to_string(++scenarios_) + ".json",
                                  document.dump())},
            {"NORVI_APPLE_ENGINE_DEBUG", std::nullopt}};
        if (debug)
            environment["NORVI_APPLE_ENGINE_DEBUG"] = "1";
        return environment;
    }

    static json results(const json& items) { return {{"speech", {{"results", items}}}}; }

    static void expectFailure(const ProcessResult& result, const std::string& message) {
        EXPECT_EQ(result.exitStatus, 1);
        ASSERT_FALSE(result.standardOutput.empty());
        EXPECT_EQ(splitLines(result.standardOutput).back(),
                  json({{"message", message}, {"type", "error"}}).dump());
        EXPECT_EQ(result.standardError, "norvi-apple-engine: " + message + "\n");
    }

    TemporaryDirectory directory_;
    int scenarios_ = 0;
};

const std::string readyEnUs = R"({"speechLocale":"en_US","translation":false,"type":"ready"})";

TEST_F(Transcribe, ResultsBecomeNumberedLines) {
    const auto result = runEngine(
        {"transcribe", "--language", "en-US"},
        scenario(results({
            {{"text", "one"}, {"start", 0.0}, {"end", 0.5}},
            {{"text", "one two"}, {"start", 0.0}, {"end", 1.0}},
            {{"text", " one two three\n"}, {"start", 1.32}, {"end", 2.14}, {"isFinal", true}},
            {{"text", "four"}, {"start", 2.2}, {"end", 2.5}},
        })),
        pcm(3));
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardError, "");
    EXPECT_EQ(
        result.standardOutput,
        readyEnUs + "\n" +
            R"({"id":1,"isFinal":false,"text":"one","type":"line"})"
            "\n"
            R"({"id":1,"isFinal":false,"text":"one two","type":"line"})"
            "\n"
            R"({"endMs":2140,"id":1,"isFinal":true,"startMs":1320,"text":"one two three","type":"line"})"
            "\n"
            R"({"id":2,"isFinal":false,"text":"four","type":"line"})"
            "\n");
}

TEST_F(Transcribe, EmptyResultsWriteNothingAndKeepTheLineId) {
    json items = json::array();
    for (int line = 0; line < 3; ++line)
        items.push_back(
            {{"text", "done"}, {"start", line}, {"end", line + 0.5}, {"isFinal", true}});
    items.push_back({{"text", "   "}, {"start", 3.0}, {"end", 3.1}});
    items.push_back({{"text", "x"}, {"start", 3.0}, {"end", 3.2}});
    items.push_back({{"text", "\xE2\x80\xA8 "}, {"start", 3.0}, {"end", 3.3}, {"isFinal", true}});
    items.push_back({{"text", "y"}, {"start", 0.0005}, {"end", 0.0015}, {"isFinal", true}});
    items.push_back({{"text", "z"}, {"start", 5.0}, {"end", "inf"}, {"isFinal", true}});
    const auto result =
        runEngine({"transcribe", "--language", "en"}, scenario(results(items), true));
    EXPECT_EQ(result.exitStatus, 0);
    const auto lines = splitLines(result.standardOutput);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[4], R"({"id":4,"isFinal":false,"text":"x","type":"line"})");
    EXPECT_EQ(lines[5],
              R"({"endMs":2,"id":4,"isFinal":true,"startMs":1,"text":"y","type":"line"})");
    // A range that is not finite has no times to write; the line itself still counts.
    EXPECT_EQ(lines[6], R"({"id":5,"isFinal":true,"text":"z","type":"line"})");
    EXPECT_NE(
        result.standardError.find("norvi-apple-engine: result final=false range=3.0-3.1 text=\n"),
        std::string::npos);
    EXPECT_NE(
        result.standardError.find("norvi-apple-engine: result final=true range=5.0-inf text=z\n"),
        std::string::npos);
}

TEST_F(Transcribe, EmptyInputGivesOneReadyRecord) {
    const auto result =
        runEngine({"transcribe", "--language", "en_US"}, {{"NORVI_SIMULATION", "default"}});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardOutput, readyEnUs + "\n");
    EXPECT_EQ(result.standardError, "");
}

TEST_F(Transcribe, SpeechOnStandardInputEndsWithTheLastResultWhenTheHostClosesIt) {
    auto options = testing::processOptions({"transcribe", "--language", "en", "--target", "en"},
                                           {{"NORVI_SIMULATION", "default"}});
    options.keepStdinOpen = true;
    RunningProcess engine(NORVI_APPLE_ENGINE_PROGRAM, options);
    ASSERT_TRUE(engine.waitForLines(1));
    EXPECT_EQ(engine.standardOutput(), readyEnUs + "\n");
    // Written in pieces, as a host forwards chunks.
    const std::string audio = pcm(1.0) + pcm(1.0, 0.5) + pcm(0.5);
    for (std::size_t offset = 0; offset < audio.size(); offset += 6400) {
        ASSERT_TRUE(engine.writeStdin(audio.substr(offset, 6400)));
    }
    ASSERT_TRUE(engine.waitForLines(4));
    engine.closeStdin();
    const ProcessResult result = engine.wait();
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(
        result.standardOutput,
        readyEnUs + "\n" +
            R"({"id":1,"isFinal":false,"text":"one","type":"line"})"
            "\n"
            R"({"id":1,"isFinal":false,"text":"one two","type":"line"})"
            "\n"
            R"({"endMs":2000,"id":1,"isFinal":true,"startMs":1000,"text":"one two","type":"line"})"
            "\n");
}

// A host that stops reading standard output ends the run: the engine notices at its next
// record, says why on standard error and exits 1 without waiting for the end of its input.
TEST_F(Transcribe, OutputThatIsGoneEndsTheRun) {
    auto options = testing::processOptions({"transcribe", "--language", "en", "--target", "de"},
                                           {{"NORVI_SIMULATION", "default"}});
    options.keepStdinOpen = true;
    RunningProcess engine(NORVI_APPLE_ENGINE_PROGRAM, options);
    ASSERT_TRUE(engine.waitForLines(1));
    engine.closeStdout();
    const std::string audio = pcm(1.0) + pcm(1.0, 0.5) + pcm(0.5);
    for (std::size_t offset = 0; offset < audio.size(); offset += 6400) {
        if (!engine.writeStdin(audio.substr(offset, 6400)))
            break;
    }
    const ProcessResult result = engine.wait();
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.standardError,
              "norvi-apple-engine: Failed to write to standard output: Broken pipe\n");
}

TEST_F(Transcribe, LocaleResolution) {
    const auto recorded = directory_.path() + "/calls.jsonl";
    auto result = runEngine({"transcribe", "--language", "en-US", "--language", "en-GB"},
                            scenario({{"recordCalls", recorded}}));
    EXPECT_EQ(result.standardOutput,
              R"({"speechLocale":"en_GB","translation":false,"type":"ready"})"
              "\n");
    const std::string calls = norvi::testing::readFile(recorded);
    EXPECT_EQ(calls.find("\"supportedLocales\""), std::string::npos);
    EXPECT_NE(calls.find(R"({"call":"makeTranscriber","locale":"en_GB","volatileResults":true})"),
              std::string::npos);

    result = runEngine({"transcribe", "--language", "en-ZZ"}, {{"NORVI_SIMULATION", "default"}});
    EXPECT_EQ(result.standardOutput, readyEnUs + "\n");
    expectFailure(runEngine({"transcribe", "--language", "xx"}, {{"NORVI_SIMULATION", "default"}}),
                  "Apple speech recognition does not support xx.");
    expectFailure(runEngine({"transcribe", "--language", ""}, {{"NORVI_SIMULATION", "default"}}),
                  "Apple speech recognition does not support .");
}

TEST_F(Transcribe, MissingModelIsInstalledWithProgressRecords) {
    const auto result = runEngine({"transcribe", "--language", "de"},
                                  scenario({{"speech", {{"installation", {{"duration", 1.2}}}}}}));
    EXPECT_EQ(result.exitStatus, 0);
    const auto lines = splitLines(result.standardOutput);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back(), R"({"speechLocale":"de_DE","translation":false,"type":"ready"})");
    EXPECT_EQ(lines[lines.size() - 2], R"({"fraction":1,"type":"model_download"})");
    EXPECT_LT(json::parse(lines.front()).at("fraction").get<double>(), 0.1);
    // About one record every 500 ms of the 1.2 s download: at 0, 0.5 and 1.0 s.
    const std::size_t progress = lines.size() - 2;
    EXPECT_GE(progress, 2u);
    EXPECT_LE(progress, 4u);
    double previous = 0;
    for (std::size_t index = 0; index < progress; ++index) {
        const double fraction = json::parse(lines[index]).at("fraction").get<double>();
        EXPECT_GE(fraction, previous);
        EXPECT_LT(fraction, 1);
        previous = fraction;
    }
}

TEST_F(Transcribe, ModelFailures) {
    auto result = runEngine(
        {"transcribe", "--language", "fr-FR"},
        scenario(
            {{"speech",
              {{"installation", {{"failAfter", 0.7}, {"failure", "Download interrupted."}}}}}}));
    expectFailure(result, "Download interrupted.");
    const auto lines = splitLines(result.standardOutput);
    // Progress at about 0 and 0.5 s (the second may miss the 0.7 s failure on a loaded
    // machine), then the error.
    EXPECT_GE(lines.size(), 2u);
    EXPECT_LE(lines.size(), 3u);
    EXPECT_EQ(result.standardOutput.find(R"("fraction":1,)"), std::string::npos);

    expectFailure(
        runEngine(
            {"transcribe", "--language", "fr-FR"},
            scenario({{"speech",
                       {{"installation", {{"requestFailure", "Asset catalog unreachable."}}}}}})),
        "Asset catalog unreachable.");
    result = runEngine({"transcribe", "--language", "fr-FR"},
                       scenario({{"speech", {{"installation", {{"noRequest", true}}}}}}));
    EXPECT_EQ(result.standardOutput,
              R"({"speechLocale":"fr_FR","translation":false,"type":"ready"})"
              "\n");
}

TEST_F(Transcribe, PlatformFailures) {
    const struct {
        json speech;
        std::string message;
    } cases[] = {
        {{{"available", false}}, "Apple speech recognition is not available on this Mac."},
        {{{"audioFormat", nullptr}}, "No compatible audio format for the speech model."},
        {{{"audioFormat", {{"sampleRate", 44100.5}}}},
         "Could not convert audio to the speech model format."},
        {{{"audioConversion", {{"inputFormatFails", true}}}},
         "Could not create the input audio format."},
        {{{"startFailure", "The analyzer is busy."}}, "The analyzer is busy."},
        {{{"bogus", 1}}, "Unknown scenario key \"speech.bogus\"."},
    };
    for (const auto& [speech, message] : cases) {
        SCOPED_TRACE(message);
        const auto result =
            runEngine({"transcribe", "--language", "en"}, scenario({{"speech", speech}}));
        expectFailure(result, message);
        EXPECT_EQ(splitLines(result.standardOutput).size(), 1u);
    }
    // A failing results sequence ends the run after the lines before it.
    const auto result = runEngine(
        {"transcribe", "--language", "en"},
        scenario(
            {{"speech",
              {{"results", {{{"text", "a"}, {"start", 0}, {"end", 0}}}},
               {"resultsFailure", {{"afterResults", 1}, {"message", "Recognizer crashed."}}}}}}));
    expectFailure(result, "Recognizer crashed.");
    EXPECT_EQ(splitLines(result.standardOutput).size(), 3u);
}

TEST_F(Transcribe, VocabularyGoesToTheAnalyzerAndARefusalIsOnlyLogged) {
    const auto recorded = directory_.path() + "/calls.jsonl";
    auto result = runEngine(
        {"transcribe", "--language", "en", "--vocabulary", R"(["Norvi","a/b"])"},
        scenario(
            {{"recordCalls", recorded}, {"speech", {{"setContextFailure", "Too many terms."}}}},
            true));
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardOutput, readyEnUs + "\n");
    EXPECT_NE(result.standardError.find("norvi-apple-engine: setContext failed: Too many terms.\n"),
              std::string::npos);
    EXPECT_NE(norvi::testing::readFile(recorded).find(
                  R"("contextualStrings":{"general":["Norvi","a/b"]})"),
              std::string::npos);

    result = runEngine({"transcribe", "--language", "en", "--vocabulary", "{}"},
                       scenario({{"recordCalls", recorded + "2"}}));
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardError, "");
    EXPECT_EQ(norvi::testing::readFile(recorded + "2").find("setContext"), std::string::npos);
}

TEST_F(Transcribe, DebugLinesAtTheirMoments) {
    const auto environment = scenario(
        {{"speech",
          {{"installedLocales", json::array()},
           {"installation", {{"duration", 0.01}}},
           {"results", {{{"text", "hi"}, {"start", 0.0}, {"end", 0.25}, {"isFinal", true}}}}}}},
        true);
    const auto result = runEngine(
        {"transcribe", "--language", "en", "--vocabulary", R"(["a","b"])"}, environment, pcm(0.5));
    EXPECT_EQ(result.exitStatus, 0);
    const auto lines = splitLines(result.standardError);
    std::vector<std::string> expected{
        "norvi-apple-engine: locale en_US",
        "norvi-apple-engine: asset status supported",
        "norvi-apple-engine: speech model ready",
        "norvi-apple-engine: audio format 16000.0 Hz, 1 ch, int16, interleaved",
        "norvi-apple-engine: contextual strings set (2 terms)",
        "norvi-apple-engine: analyzer started",
    };
    ASSERT_EQ(lines.size(), expected.size() + 4);
    // The reader's end of input runs on threads of its own: its lines may come at any point
    // after the analyzer's format is known.
    std::vector<std::string> inOrder;
    bool finalizing = false;
    bool inputEnded = false;
    for (std::size_t index = 0; index + 1 < lines.size(); ++index) {
        if (lines[index] == "norvi-apple-engine: input ended, finalizing") {
            finalizing = index > 3;
        } else if (lines[index] == "norvi-apple-engine: input ended after 16000 bytes") {
            inputEnded = index > 3;
        } else {
            inOrder.push_back(lines[index]);
        }
    }
    EXPECT_TRUE(finalizing);
    EXPECT_TRUE(inputEnded);
    expected.push_back("norvi-apple-engine: result final=true range=0.0-0.25 text=hi");
    EXPECT_EQ(inOrder, expected);
    EXPECT_EQ(lines.back(), "norvi-apple-engine: results ended");

    for (const std::optional<std::string>& value :
         {std::optional<std::string>{}, std::optional<std::string>{"true"}}) {
        auto quiet = environment;
        quiet["NORVI_APPLE_ENGINE_DEBUG"] = value;
        const auto silent = runEngine({"transcribe", "--language", "en"}, quiet, pcm(0.5));
        EXPECT_EQ(silent.exitStatus, 0);
        EXPECT_EQ(silent.standardError, "");
    }
}

}  // namespace
}  // namespace norvi::engine
