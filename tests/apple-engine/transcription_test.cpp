#include "apple-engine/transcription.h"

#include <limits>

#include <gtest/gtest.h>

#include "apple-engine/helper_error.h"
#include "apple-engine/platform/speech_simulated.h"
#include "apple-engine/speech_model.h"

namespace norvi::engine {
namespace {

TEST(Transcription, TrimsUnicodeWhiteSpaceAtBothEnds) {
    const struct {
        std::string text;
        std::string trimmed;
    } cases[] = {
        {"  one two  ", "one two"},
        {"\t\n\v\f\r one \r\n", "one"},
        {"\xC2\x85one\xE2\x80\xA8", "one"},  // U+0085, U+2028
        {"\xE2\x80\xA9\xC2\xA0\xE3\x80\x80one\xE2\x80\x8A",
         "one"},  // U+2029, U+00A0, U+3000, U+200A
        {"a \xE2\x80\xA8 b", "a \xE2\x80\xA8 b"},
        {"   ", ""},
        {"\xE2\x80\xA8", ""},
        {"\xE2\x80\x8B"
         "one",
         "\xE2\x80\x8B"
         "one"},                         // U+200B is not white space
        {"one\xE2\x80", "one\xE2\x80"},  // a cut sequence stays
        {"caf\xC3\xA9 ", "caf\xC3\xA9"},
        {"", ""},
    };
    for (const auto& [text, trimmed] : cases) {
        EXPECT_EQ(trimWhitespace(text), trimmed) << text;
    }
}

TEST(Transcription, MillisecondsRoundHalvesAwayFromZero) {
    EXPECT_EQ(millisecondsFrom(0.0005), 1);
    EXPECT_EQ(millisecondsFrom(0.0015), 2);
    EXPECT_EQ(millisecondsFrom(1.32), 1320);
    EXPECT_EQ(millisecondsFrom(-0.0005), -1);
    EXPECT_EQ(millisecondsFrom(0), 0);
    EXPECT_EQ(millisecondsFrom(std::numeric_limits<double>::quiet_NaN()), std::nullopt);
    EXPECT_EQ(millisecondsFrom(std::numeric_limits<double>::infinity()), std::nullopt);
    EXPECT_EQ(millisecondsFrom(1e300), std::nullopt);
    EXPECT_EQ(millisecondsFrom(9.2e15), 9200000000000000000);
}

TEST(Transcription, OnlyFinalLinesCarryTimesAndOnlyWhenWritable) {
    EXPECT_EQ(lineEventFor({"x", 1.32, 2.14, true}, "x", 3),
              (LineEvent{.id = 3, .isFinal = true, .text = "x", .startMs = 1320, .endMs = 2140}));
    EXPECT_EQ(lineEventFor({"x", 1.32, 2.14, false}, "x", 3),
              (LineEvent{.id = 3, .isFinal = false, .text = "x"}));
    EXPECT_EQ(lineEventFor({"x", 0, std::numeric_limits<double>::infinity(), true}, "x", 1),
              (LineEvent{.id = 1, .isFinal = true, .text = "x"}));
}

TEST(SpeechLocale, EquivalentFirstThenTheFirstSupportedWithTheSameLanguageCode) {
    auto speech = makeSimulatedSpeech(*simulation::Scenario::fromJson(
        {{"speech", {{"supportedLocales", {"en_US", "fr_FR", "en_GB", "de_DE"}}}}}));
    const struct {
        std::string language;
        std::string locale;
    } cases[] = {
        {"en-GB", "en_GB"}, {"en_GB", "en_GB"}, {"en-ZZ", "en_US"}, {"en", "en_US"},
        {"EN", "en_US"},    {"de_CH", "de_DE"}, {"fr", "fr_FR"},
    };
    for (const auto& [language, locale] : cases) {
        EXPECT_EQ(resolveSpeechLocale(*speech, language).identifier, locale) << language;
    }
    for (const std::string language : {"xx", "", "zh-Hans"}) {
        try {
            resolveSpeechLocale(*speech, language);
            ADD_FAILURE() << language;
        } catch (const HelperError& error) {
            EXPECT_EQ(error.description(),
                      "Apple speech recognition does not support " + language + ".");
        }
    }
}

TEST(SpeechLocale, AbsentLanguageCodesMatchOnlyEachOther) {
    auto speech = makeSimulatedSpeech(
        *simulation::Scenario::fromJson({{"speech",
                                          {{"supportedLocales", {"en_US", "123"}},
                                           {"equivalentLocales", nlohmann::json::object()}}}}));
    EXPECT_EQ(resolveSpeechLocale(*speech, "").identifier, "123");
    EXPECT_EQ(resolveSpeechLocale(*speech, "en_US").identifier, "en_US");
}

}  // namespace
}  // namespace norvi::engine
