#include <cmath>
#include <numbers>
#include <regex>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "tests/support/process_runner.h"

namespace norvi {
namespace {

using nlohmann::json;

// A 48 kHz mono 16-bit WAV file: silence and 300 Hz tone bursts of the given lengths, in turn
// (the first piece is silence).
std::string clip(const std::vector<double>& pieces) {
    constexpr std::uint32_t rate = 48000;
    std::string data;
    bool loud = false;
    std::uint32_t frame = 0;
    for (const double seconds : pieces) {
        const auto frames = static_cast<std::uint32_t>(seconds * rate);
        for (std::uint32_t i = 0; i < frames; ++i, ++frame) {
            const double value =
                loud ? 0.3 * std::sin(2 * std::numbers::pi * 300 * frame / rate) : 0.0;
            const auto sample = static_cast<std::int16_t>(std::lround(value * 32767));
            data.push_back(static_cast<char>(sample & 0xFF));
            data.push_back(static_cast<char>((sample >> 8) & 0xFF));
        }
        loud = !loud;
    }
    auto word = [](std::uint32_t value, int bytes) {
        std::string text;
        for (int i = 0; i < bytes; ++i)
            text.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
        return text;
    };
    const auto size = static_cast<std::uint32_t>(data.size());
    return "RIFF" + word(36 + size, 4) + "WAVEfmt " + word(16, 4) + word(1, 2) + word(1, 2) +
           word(rate, 4) + word(rate * 2, 4) + word(2, 2) + word(16, 2) + "data" + word(size, 4) +
           data;
}

std::uint64_t number(const std::string& text, const std::string& pattern) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(pattern)))
        return 0;
    return std::stoull(match[1].str());
}

// The host runs tap-stream on a machine that plays two spoken stretches (3.2 s in all) and
// transcribe with translation to German, and stops the capture after 3.6 s.
TEST(Road, EveryChunkReachesTheEngineAndEachStretchBecomesOneTranslatedLine) {
    testing::TemporaryDirectory directory;
    const std::string wav = directory.writeFile("clip.wav", clip({0.3, 0.8, 0.7, 0.8, 0.6}));
    const json scenario = {{"coreAudio", {{"plays", {{"signal", "wav"}, {"path", wav}}}}},
                           {"speech", {{"transcript", {"Good morning.", "Thank you all."}}}}};
    testing::ProcessOptions options;
    options.arguments = {NORVI_HOST_SCRIPT, "--language", "en", "--target",   "de",
                         "--duration",      "3.6",        "--json", "--stats", "--bin",
                         NORVI_PROGRAM_FOLDER};
    options.environment["NORVI_SIMULATION"] =
        directory.writeFile("scenario.json", scenario.dump());
    options.environment["NORVI_APPLE_ENGINE_DEBUG"] = "1";
    const testing::ProcessResult result =
        testing::runProcess(NORVI_NODE_PROGRAM, options, std::chrono::seconds(30));
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;

    std::vector<json> records;
    for (const std::string& line : testing::splitLines(result.standardOutput))
        records.push_back(json::parse(line));
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front(),
              json({{"speechLocale", "en_US"}, {"translation", true}, {"type", "ready"}}));
    EXPECT_EQ(std::count_if(records.begin(), records.end(),
                            [](const json& record) { return record["type"] == "ready"; }),
              1);

    // Final lines in order, each followed later by its translation, times inside the clip.
    std::vector<std::string> texts;
    std::int64_t lastId = -1;
    for (std::size_t index = 0; index < records.size(); ++index) {
        const json& record = records[index];
        if (record["type"] != "line" || !record["isFinal"] || record.contains("translation"))
            continue;
        SCOPED_TRACE(record.dump());
        texts.push_back(record["text"]);
        EXPECT_GT(record["id"].get<std::int64_t>(), lastId);
        lastId = record["id"];
        EXPECT_GE(record["startMs"].get<std::int64_t>(), 0);
        EXPECT_LT(record["startMs"].get<std::int64_t>(), record["endMs"].get<std::int64_t>());
        EXPECT_LE(record["endMs"].get<std::int64_t>(), 3200);
        const json translated = {{"endMs", record["endMs"]},
                                 {"id", record["id"]},
                                 {"isFinal", true},
                                 {"startMs", record["startMs"]},
                                 {"text", record["text"]},
                                 {"translation", "[de] " + record["text"].get<std::string>()},
                                 {"type", "line"}};
        EXPECT_NE(std::find(records.begin() + static_cast<std::ptrdiff_t>(index) + 1,
                            records.end(), translated),
                  records.end());
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"Good morning.", "Thank you all."}));
    EXPECT_EQ(std::count_if(records.begin(), records.end(),
                            [](const json& record) { return record["type"] == "error"; }),
              0);

    // No byte lost between the two: what the helper sent is what the engine read.
    const std::string& log = result.standardError;
    const std::uint64_t chunks = number(log, R"(host: (\d+) chunks)");
    EXPECT_GE(chunks, 32u) << log;
    EXPECT_EQ(number(log, R"(chunks, (\d+) bytes to the engine)"), 3200 * chunks);
    EXPECT_EQ(number(log, R"(input ended after (\d+) bytes)"), 3200 * chunks) << log;
    EXPECT_NE(log.find(R"(norvi-audio-helper status 0 after "stream_ended", )"
                       "norvi-apple-engine status 0;"),
              std::string::npos)
        << log;
}

}  // namespace
}  // namespace norvi
