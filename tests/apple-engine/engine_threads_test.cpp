// The engine's threads at work in real processes (built with ThreadSanitizer in that build,
// where a race report ends the process with a failure status).
#include <cmath>
#include <numbers>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "apple-engine/output.h"
#include "tests/apple-engine/engine_process.h"

namespace norvi::engine {
namespace {

using norvi::testing::runProcess;
using norvi::testing::splitLines;
using testing::processOptions;

TEST(EngineOutput, RecordsFromTwoThreadsComeOutWhole) {
    constexpr int count = 300;
    const auto result = runProcess(NORVI_ENGINE_OUTPUT_PROBE,
                                   processOptions({"concurrent", std::to_string(count)}));
    ASSERT_EQ(result.exitStatus, 0);
    const std::string download = R"({"fraction":0.5,"type":"model_download"})";
    int lines = 0;
    int downloads = 0;
    for (const std::string& line : norvi::testing::splitLines(result.standardOutput)) {
        if (line == download) {
            ++downloads;
            continue;
        }
        const LineEvent expected{.id = lines, .isFinal = false, .text = std::string(5000, 'x')};
        ASSERT_EQ(line, encodeRecord(expected));
        ++lines;
    }
    EXPECT_EQ(lines, count);
    EXPECT_EQ(downloads, count);
}

TEST(EngineThreads, TranscriptionWithDownloadAndTranslationEndsCleanly) {
    norvi::testing::TemporaryDirectory directory;
    const nlohmann::json scenario{{"speech", {{"installation", {{"duration", 0.6}}}}},
                                  {"translation", {{"delay", 0.05}}}};
    std::string audio;
    for (int frame = 0; frame < 16000 * 3; ++frame) {
        const bool loud = frame >= 8000 && frame < 8000 + 16000 * 2;
        const auto sample = static_cast<std::int16_t>(
            loud ? std::lround(16000 * std::sin(2 * std::numbers::pi * 440 * frame / 16000.0)) : 0);
        audio += static_cast<char>(sample & 0xFF);
        audio += static_cast<char>((sample >> 8) & 0xFF);
    }
    const auto result = testing::runEngine(
        {"transcribe", "--language", "de", "--target", "en"},
        {{"NORVI_SIMULATION", directory.writeFile("scenario.json", scenario.dump())},
         {"NORVI_APPLE_ENGINE_DEBUG", "1"}},
        audio);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    const auto lines = splitLines(result.standardOutput);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(
        lines.back(),
        R"({"endMs":2500,"id":1,"isFinal":true,"startMs":500,"text":"one two three four","translation":"[en] one two three four","type":"line"})");
    EXPECT_NE(
        result.standardOutput.find(R"({"fraction":1,"type":"model_download"})"
                                   "\n"
                                   R"({"speechLocale":"de_DE","translation":true,"type":"ready"})"),
        std::string::npos);
    EXPECT_EQ(splitLines(result.standardError).back(), "norvi-apple-engine: results ended");
}

}  // namespace
}  // namespace norvi::engine
