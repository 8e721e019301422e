#include <gtest/gtest.h>

#include "apple-engine/engine_main.h"
#include "apple-engine/helper_error.h"
#include "tests/apple-engine/engine_process.h"

namespace norvi::engine {
namespace {

using testing::runEngine;

TEST(EngineCommandLine, FailuresGiveAnErrorRecordAStandardErrorLineAndStatusOne) {
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{}, "Missing command."},
        {{"Transcribe"}, "Unknown command: Transcribe"},
        {{""}, "Unknown command: "},
        {{"transcribe", "--help"}, "Unknown option: --help"},
        {{"transcribe", "en-US"}, "Unknown option: en-US"},
        {{"transcribe", "--language"}, "transcribe needs --language."},
        {{"transcribe", "--target", "de"}, "transcribe needs --language."},
        {{"transcribe", "--language", "en", "--bogus", "x"}, "Unknown option: --bogus"},
        {{"transcribe", "--vocabulary", "[]", "--language"}, "transcribe needs --language."},
        {{"translate", "--language", "en", "--target"}, "translate needs --language and --target."},
        {{"translate", "--target", "de"}, "translate needs --language and --target."},
        {{"translate", "--language", "en", "--target", "de", "--vocabulary", "[]"},
         "Unknown option: --vocabulary"},
        {{"translate", "--language", "a/b \"c\""}, "translate needs --language and --target."},
        {{"capabilities/x"}, "Unknown command: capabilities/x"},
    };
    for (const auto& [arguments, message] : cases) {
        const auto result = runEngine(arguments);
        SCOPED_TRACE(message);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.standardOutput,
                  R"({"message":")" + message + R"(","type":"error"})" + "\n");
        EXPECT_EQ(result.standardError, "norvi-apple-engine: " + message + "\n");
    }
}

TEST(EngineCommandLine, HelpPrintsTheUsageAndIgnoresTheRest) {
    for (const std::string word : {"help", "-h", "--help"}) {
        const auto result = runEngine({word, "extra", "--words"});
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.standardOutput, std::string(usage) + "\n");
        EXPECT_EQ(result.standardError, "");
    }
    EXPECT_EQ(usage.size(), 466u);
    EXPECT_TRUE(usage.starts_with("Usage:\n  norvi-apple-engine capabilities\n"));
    EXPECT_TRUE(usage.ends_with("prints its translation as one JSON line."));
}

TEST(EngineOptions, ReadInPairs) {
    const std::set<std::string> allowed{"--language", "--target"};
    EXPECT_EQ(parseOptions({"--language", "en", "--language", "de"}, allowed),
              (ParsedOptions{{"--language", "de"}}));
    // A value is never looked at, and a last name without a value has none.
    EXPECT_EQ(parseOptions({"--language", "--target", "--target"}, allowed),
              (ParsedOptions{{"--language", "--target"}}));
    EXPECT_EQ(parseOptions({}, allowed), ParsedOptions{});
    try {
        parseOptions({"--language", "en", "stray"}, allowed);
        FAIL();
    } catch (const HelperError& error) {
        EXPECT_EQ(error.description(), "Unknown option: stray");
    }
}

TEST(EngineOptions, VocabularyIsExactlyAJsonArrayOfStrings) {
    const struct {
        std::string text;
        std::vector<std::string> vocabulary;
    } cases[] = {
        {R"(["Norvi", "", "Norvi", "caf\u00e9"])", {"Norvi", "", "Norvi", "caf\xC3\xA9"}},
        {" [ \"a\" ] ", {"a"}},
        {"[]", {}},
        {"{}", {}},
        {R"(["a", 1])", {}},
        {R"(["a"] x)", {}},
        {R"("a")", {}},
        {"[\"\xFF\"]", {}},
        {"", {}},
        {R"([["a"]])", {}},
    };
    for (const auto& [text, vocabulary] : cases) {
        EXPECT_EQ(parseVocabulary(text), vocabulary) << text;
    }
}

}  // namespace
}  // namespace norvi::engine
