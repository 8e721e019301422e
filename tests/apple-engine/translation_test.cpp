// translate, capabilities and transcribe --target, end to end on scenarios; the language lists
// in process.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "apple-engine/capabilities.h"
#include "apple-engine/platform/engine_platform.h"
#include "apple-engine/translation.h"
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

const Environment defaultMachine{{"NORVI_SIMULATION", "default"},
                                 {"NORVI_APPLE_ENGINE_DEBUG", std::nullopt}};
const std::string notInstalled =
    "Apple translation for en to fr is not installed. Add both languages under System Settings > "
    "General > "
    "Language & Region > Translation Languages, then try again.";
const std::string tooOld =
    "Apple on-device translation needs macOS 26.4 or newer. Use the Norvi engine for translation "
    "on this version.";

void expectFailure(const ProcessResult& result, const std::string& message) {
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.standardOutput, json({{"message", message}, {"type", "error"}}).dump() + "\n");
    EXPECT_EQ(result.standardError, "norvi-apple-engine: " + message + "\n");
}

class TranslationRuns : public ::testing::Test {
  protected:
    Environment scenario(const json& document) {
        return {{"NORVI_SIMULATION",
                 directory_.writeFile("scenario" + std::to_string(++scenarios_) + ".json",
                                      document.dump())},
                {"NORVI_APPLE_ENGINE_DEBUG", std::nullopt}};
    }
    TemporaryDirectory directory_;
    int scenarios_ = 0;
};

TEST_F(TranslationRuns, TranslateSendsTheWholeInputAsValidUtf8) {
    const std::string recorded = directory_.path() + "/calls.jsonl";
    const auto result = runEngine({"translate", "--language", "en", "--target", "de"},
                                  scenario({{"recordCalls", recorded}}), "hello\n\xFF/\xC3\xA9");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(
        result.standardOutput,
        "{\"translation\":\"[de] hello\\n\xEF\xBF\xBD/\xC3\xA9\",\"type\":\"translation\"}\n");
    EXPECT_EQ(result.standardError, "");
    const std::string calls = norvi::testing::readFile(recorded);
    EXPECT_NE(calls.find("{\"call\":\"translate\",\"source\":\"en\",\"target\":\"de\",\"text\":"
                         "\"hello\\n\xEF\xBF\xBD/\xC3\xA9\"}"),
              std::string::npos);
    EXPECT_NE(calls.find(R"({"call":"makeSession","lowLatency":true,"source":"en","target":"de"})"),
              std::string::npos);
}

TEST_F(TranslationRuns, TranslateFailsOnlyAfterReadingAllInput) {
    const struct {
        std::vector<std::string> arguments;
        Environment environment;
        std::string message;
    } cases[] = {
        {{"translate", "--language", "en", "--target", "fr"}, defaultMachine, notInstalled},
        {{"translate", "--language", "en", "--target", "xx"},
         defaultMachine,
         "Apple translation does not support en to xx."},
        {{"translate", "--language", "de", "--target", "de"},
         defaultMachine,
         "Apple translation does not support de to de."},
        {{"translate", "--language", "en", "--target", "de"},
         scenario({{"macosVersion", "26.3"}}),
         tooOld},
        {{"translate", "--language", "en", "--target", "de"},
         scenario({{"translation",
                    {{"texts", {{std::string(200000, 'a'), {{"failure", "Session closed."}}}}}}}}),
         "Session closed."},
    };
    for (const auto& [arguments, environment, message] : cases) {
        SCOPED_TRACE(message);
        auto options = testing::processOptions(arguments, environment);
        options.keepStdinOpen = true;
        RunningProcess engine(NORVI_APPLE_ENGINE_PROGRAM, options);
        // More than a pipe holds: the writes succeed only because the engine reads everything.
        EXPECT_TRUE(engine.writeStdin(std::string(200000, 'a')));
        engine.closeStdin();
        expectFailure(engine.wait(), message);
    }
}

TEST_F(TranslationRuns, CapabilitiesReportLanguageCodes) {
    auto result = runEngine({"capabilities", "--anything"}, defaultMachine);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(
        result.standardOutput,
        R"({"installedSpeechLanguages":["en"],"speechLanguages":["de","en","fr"],"translationLanguages":["de","en"],"type":"capabilities"})"
        "\n");
    result = runEngine({"capabilities"},
                       scenario({{"speech",
                                  {{"supportedLocales", {"en_US", "fr_FR", "en_GB", "de_DE"}},
                                   {"installedLocales", {"en_GB"}}}},
                                 {"translation", {{"pairs", json::array()}}}}));
    EXPECT_EQ(
        result.standardOutput,
        R"({"installedSpeechLanguages":["en"],"speechLanguages":["de","en","fr"],"translationLanguages":[],"type":"capabilities"})"
        "\n");
    result = runEngine({"capabilities"},
                       scenario({{"speech", {{"available", false}}}, {"macosVersion", "26.3"}}));
    EXPECT_EQ(
        result.standardOutput,
        R"({"installedSpeechLanguages":[],"speechLanguages":[],"translationLanguages":[],"type":"capabilities"})"
        "\n");
    result = runEngine({"capabilities"}, scenario({{"speech", {{"available", false}}}}));
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(
        result.standardOutput,
        R"({"installedSpeechLanguages":[],"speechLanguages":[],"translationLanguages":["de","en"],"type":"capabilities"})"
        "\n");
}

TEST_F(TranslationRuns, InstalledTranslationLanguagesAskEveryOrderedPairOnce) {
    const std::string recorded = directory_.path() + "/calls.jsonl";
    const auto platform = makeSimulatedEnginePlatform(simulation::Scenario::fromJson(
        {{"recordCalls", recorded},
         {"translation",
          {{"supportedLanguages", {"fr", "zh-Hans", "en_US", "de", "123"}},
           {"pairs",
            {{{"source", "zh-Hans"}, {"target", "en_US"}},
             {{"source", "fr"}, {"target", "de"}, {"status", "supported"}},
             {{"source", "123"}, {"target", "fr"}}}}}}}));
    EXPECT_EQ(installedTranslationLanguages(platform),
              (std::vector<std::string>{"en", "fr", "zh"}));
    const auto calls = splitLines(norvi::testing::readFile(recorded));
    EXPECT_EQ(calls.size(), 20u);  // 5 × 4
    EXPECT_EQ(calls.front(),
              R"({"call":"status","result":"unsupported","source":"fr","target":"zh-Hans"})");
}

TEST(SpeechLanguageCodes, EachCodeOnceSorted) {
    std::vector<Locale> locales;
    for (const std::string identifier : {"en_US", "fr_FR", "en_GB", "de_CH", "", "zz"}) {
        locales.push_back(Locale::fromIdentifier(identifier));
    }
    EXPECT_EQ(speechLanguageCodes(locales), (std::vector<std::string>{"de", "en", "fr", "zz"}));
    EXPECT_TRUE(speechLanguageCodes({}).empty());
}

TEST_F(TranslationRuns, TranscribeWithATargetAddsTranslatedLinesAndWaitsForThem) {
    const auto result = runEngine(
        {"transcribe", "--language", "en", "--target", "de"},
        scenario({{"speech",
                   {{"results",
                     {{{"text", "one"}, {"start", 0.0}, {"end", 0.1}},
                      {{"text", "one two"}, {"start", 0.0}, {"end", 0.2}, {"isFinal", true}},
                      {{"text", "bad"}, {"start", 0.3}, {"end", 0.4}, {"isFinal", true}},
                      {{"text", "three"}, {"start", 0.5}, {"end", 0.6}, {"isFinal", true}}}}}},
                  {"translation",
                   {{"delay", 0.15}, {"texts", {{"bad", {{"failure", "Model busy."}}}}}}}}),
        std::string(3200, '\0'));
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardError, "");
    // The last translation finishes well after the results have ended.
    EXPECT_EQ(
        result.standardOutput,
        R"({"speechLocale":"en_US","translation":true,"type":"ready"})"
        "\n"
        R"({"id":1,"isFinal":false,"text":"one","type":"line"})"
        "\n"
        R"({"endMs":200,"id":1,"isFinal":true,"startMs":0,"text":"one two","type":"line"})"
        "\n"
        R"({"endMs":400,"id":2,"isFinal":true,"startMs":300,"text":"bad","type":"line"})"
        "\n"
        R"({"endMs":600,"id":3,"isFinal":true,"startMs":500,"text":"three","type":"line"})"
        "\n"
        R"({"endMs":200,"id":1,"isFinal":true,"startMs":0,"text":"one two","translation":"[de] one two","type":"line"})"
        "\n"
        R"({"message":"Translation failed: Model busy.","type":"error"})"
        "\n"
        R"({"endMs":600,"id":3,"isFinal":true,"startMs":500,"text":"three","translation":"[de] three","type":"line"})"
        "\n");
}

TEST_F(TranslationRuns, TranscribeTargetChecks) {
    auto result = runEngine({"transcribe", "--language", "en", "--target", "fr"}, defaultMachine);
    expectFailure(result, notInstalled);
    result = runEngine({"transcribe", "--language", "en", "--target", "de"},
                       scenario({{"macosVersion", "26.3"}}));
    expectFailure(result, tooOld);
    // The same string as the language: no translator at all, even where translation could not run.
    result = runEngine({"transcribe", "--language", "en", "--target", "en"},
                       scenario({{"macosVersion", "26.0"}}));
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardOutput,
              R"({"speechLocale":"en_US","translation":false,"type":"ready"})"
              "\n");
}

}  // namespace
}  // namespace norvi::engine
