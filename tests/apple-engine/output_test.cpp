#include "apple-engine/output.h"

#include <limits>

#include <gtest/gtest.h>

#include "tests/apple-engine/engine_process.h"

namespace norvi::engine {
namespace {

using norvi::testing::runProcess;
using testing::processOptions;

TEST(EngineRecords, EncodeCompactWithSortedKeys) {
    const struct {
        OutputRecord record;
        std::string json;
    } cases[] = {
        {LineEvent{
             .id = 3, .isFinal = true, .text = "Hello there.", .startMs = 1320, .endMs = 2140},
         R"({"endMs":2140,"id":3,"isFinal":true,"startMs":1320,"text":"Hello there.","type":"line"})"},
        {LineEvent{.id = 1, .isFinal = false, .text = "a/b \"q\" caf\xC3\xA9\n\x01"},
         R"({"id":1,"isFinal":false,"text":"a/b \"q\" café\n\u0001","type":"line"})"},
        {LineEvent{.id = -9223372036854775807 - 1,
                   .isFinal = true,
                   .text = "t",
                   .translation = "[de] t",
                   .startMs = 0,
                   .endMs = 5},
         R"({"endMs":5,"id":-9223372036854775808,"isFinal":true,"startMs":0,"text":"t","translation":"[de] t","type":"line"})"},
        {ReadyEvent{.speechLocale = "en_US", .translation = false},
         R"({"speechLocale":"en_US","translation":false,"type":"ready"})"},
        {ModelDownloadEvent{.fraction = 1}, R"({"fraction":1,"type":"model_download"})"},
        {ModelDownloadEvent{.fraction = 0}, R"({"fraction":0,"type":"model_download"})"},
        {ModelDownloadEvent{.fraction = 0.1 + 0.2},
         R"({"fraction":0.30000000000000004,"type":"model_download"})"},
        {TranslationEvent{.translation = "[de] hello\n"},
         R"({"translation":"[de] hello\n","type":"translation"})"},
        {CapabilitiesEvent{.installedSpeechLanguages = {"en"},
                           .speechLanguages = {"de", "en", "fr"}},
         R"({"installedSpeechLanguages":["en"],"speechLanguages":["de","en","fr"],"translationLanguages":[],"type":"capabilities"})"},
        {ErrorEvent{.message = "Missing command."},
         R"({"message":"Missing command.","type":"error"})"},
    };
    for (const auto& [record, json] : cases) {
        EXPECT_EQ(encodeRecord(record), json);
    }
}

TEST(EngineRecords, NonFiniteFractionIsNotEncodable) {
    EXPECT_ANY_THROW(
        encodeRecord(ModelDownloadEvent{.fraction = std::numeric_limits<double>::quiet_NaN()}));
}

TEST(EngineOutput, DebugLinesOnlyWhenTheSwitchIsExactlyOne) {
    const struct {
        std::optional<std::string> value;
        std::string expected;
    } cases[] = {
        {std::nullopt, ""}, {"0", ""},  {"true", ""},
        {"01", ""},         {"1 ", ""}, {"1", "norvi-apple-engine: locale en_US\n"},
    };
    for (const auto& [value, expected] : cases) {
        const auto result = runProcess(
            NORVI_ENGINE_OUTPUT_PROBE,
            processOptions({"debug", "locale en_US"}, {{"NORVI_APPLE_ENGINE_DEBUG", value}}));
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.standardError, expected) << value.value_or("(unset)");
        EXPECT_EQ(result.standardOutput, "");
    }
}

}  // namespace
}  // namespace norvi::engine
