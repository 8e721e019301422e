#include "apple-engine/platform/speech_simulated.h"

#include <cmath>
#include <numbers>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

namespace norvi::engine {
namespace {

using nlohmann::json;

std::shared_ptr<Speech> speechOf(json section) {
    return makeSimulatedSpeech(*simulation::Scenario::fromJson({{"speech", std::move(section)}}));
}

template <typename T>
T runOnLoop(asio::awaitable<T> task) {
    asio::io_context loop;
    auto future = asio::co_spawn(loop, std::move(task), asio::use_future);
    loop.run();
    return future.get();
}

// 16 kHz mono 16-bit audio: `seconds` of a 440 Hz tone (or silence when amplitude is 0).
std::shared_ptr<PcmBuffer> audio(double seconds, double amplitude) {
    const auto frames = static_cast<std::uint32_t>(seconds * 16000);
    auto buffer = std::make_shared<PcmBuffer>(
        AudioFormat{CommonFormat::pcmFormatInt16, 16000, 1, true}, frames);
    buffer->setFrameLength(frames);
    for (std::uint32_t frame = 0; frame < frames; ++frame) {
        buffer->setSample(frame, 0,
                          amplitude * std::sin(2 * std::numbers::pi * 440 * frame / 16000.0));
    }
    return buffer;
}

struct Recognition {
    std::vector<SpeechResult> results;
    std::string failure;
};

// Feeds the blocks, ends the input, finalizes on another thread and collects every result.
Recognition recognize(Speech& speech, const std::vector<std::shared_ptr<PcmBuffer>>& blocks) {
    auto transcriber =
        speech.makeTranscriber(Locale::fromIdentifier("en_US"), {.volatileResults = true});
    auto analyzer = speech.makeAnalyzer({transcriber});
    auto input = std::make_shared<AnalyzerInputStream>();
    auto results = transcriber->results();
    analyzer->start(input);
    for (const auto& block : blocks)
        input->append({block});
    input->finish();
    std::thread finalizer([&] { analyzer->finalizeAndFinishThroughEndOfInput(); });
    Recognition run;
    try {
        runOnLoop([&]() -> asio::awaitable<void> {
            while (auto result = co_await results->next())
                run.results.push_back(*result);
        }());
    } catch (const SpeechError& error) {
        run.failure = error.what();
    }
    finalizer.join();
    return run;
}

TEST(SimulatedSpeech, DefaultMachineLocales) {
    auto speech = makeSimulatedSpeech(*simulation::Scenario::defaultMachine());
    EXPECT_TRUE(speech->isAvailable());
    std::vector<std::string> supported;
    for (const Locale& locale : speech->supportedLocales())
        supported.push_back(locale.identifier);
    EXPECT_EQ(supported, (std::vector<std::string>{"en_US", "en_GB", "de_DE", "fr_FR"}));
    EXPECT_EQ(speech->installedLocales().size(), 2u);
    EXPECT_EQ(speech->supportedLocaleEquivalentTo(Locale::fromIdentifier("en-GB"))->identifier,
              "en_GB");
    EXPECT_EQ(speech->supportedLocaleEquivalentTo(Locale::fromIdentifier("fr_FR"))->identifier,
              "fr_FR");
    EXPECT_FALSE(speech->supportedLocaleEquivalentTo(Locale::fromIdentifier("en")));
    auto format = speech->bestAvailableAudioFormat({});
    ASSERT_TRUE(format);
    EXPECT_EQ(*format, (AudioFormat{CommonFormat::pcmFormatInt16, 16000, 1, true}));
}

TEST(SimulatedSpeech, LocaleLanguageCodes) {
    EXPECT_EQ(Locale::fromIdentifier("en_US").languageCode, "en");
    EXPECT_EQ(Locale::fromIdentifier("EN-zz").languageCode, "en");
    EXPECT_EQ(Locale::fromIdentifier("zh-Hans").languageCode, "zh");
    EXPECT_EQ(Locale::fromIdentifier("xx").languageCode, "xx");
    EXPECT_EQ(Locale::fromIdentifier("").languageCode, std::nullopt);
    EXPECT_EQ(Locale::fromIdentifier("1234").languageCode, std::nullopt);
    EXPECT_EQ(Locale::fromIdentifier("e").languageCode, std::nullopt);
}

TEST(SimulatedSpeech, MissingModelInstallsWithLinearProgress) {
    auto speech = speechOf({{"installation", {{"duration", 0.2}}}});
    auto transcriber = speech->makeTranscriber(Locale::fromIdentifier("de_DE"), {});
    EXPECT_EQ(speech->assetStatus({transcriber}), AssetStatus::supported);
    auto request = speech->assetInstallationRequest({transcriber});
    ASSERT_TRUE(request);
    EXPECT_EQ(request->progress()->fractionCompleted(), 0);
    const auto started = std::chrono::steady_clock::now();
    runOnLoop(request->downloadAndInstall());
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
    EXPECT_EQ(request->progress()->fractionCompleted(), 1);
    EXPECT_EQ(speech->assetStatus({transcriber}), AssetStatus::installed);
    EXPECT_FALSE(speech->assetInstallationRequest({transcriber}));
}

TEST(SimulatedSpeech, InstallationFailures) {
    auto failing = speechOf({{"installation", {{"failAfter", 0.05}, {"failure", "Disk full."}}}});
    auto transcriber = failing->makeTranscriber(Locale::fromIdentifier("fr_FR"), {});
    auto request = failing->assetInstallationRequest({transcriber});
    try {
        runOnLoop(request->downloadAndInstall());
        FAIL();
    } catch (const SpeechError& error) {
        EXPECT_STREQ(error.what(), "Disk full.");
    }
    EXPECT_LT(request->progress()->fractionCompleted(), 1);
    auto refusing = speechOf({{"installation", {{"requestFailure", "No network."}}}});
    EXPECT_THROW(refusing->assetInstallationRequest({transcriber}), SpeechError);
}

TEST(SimulatedSpeech, ScriptedResultsFollowTheAudioTimeLine) {
    auto speech =
        speechOf({{"results",
                   {{{"text", "one"}, {"start", 0.0}, {"end", 0.1}},
                    {{"text", "one two"}, {"start", 0.0}, {"end", 5.0}, {"isFinal", true}}}}});
    const Recognition run = recognize(*speech, {audio(0.1, 0), audio(0.1, 0)});
    ASSERT_EQ(run.results.size(), 2u);
    EXPECT_EQ(run.results[0].text, "one");
    EXPECT_FALSE(run.results[0].isFinal);
    // Not reached by the audio: handed over at finalization.
    EXPECT_TRUE(run.results[1].isFinal);
    EXPECT_EQ(run.results[1].end, 5.0);
}

TEST(SimulatedSpeech, EnergyRecognizerTurnsEachStretchIntoVolatileResultsAndOneFinal) {
    auto speech = makeSimulatedSpeech(*simulation::Scenario::defaultMachine());
    const Recognition run =
        recognize(*speech, {audio(1.0, 0), audio(1.0, 0.3), audio(0.5, 0), audio(0.3, 0.3)});
    ASSERT_EQ(run.results.size(), 4u);
    EXPECT_EQ(run.results[0].text, "one");
    EXPECT_EQ(run.results[1].text, "one two");
    EXPECT_FALSE(run.results[1].isFinal);
    EXPECT_EQ(run.results[2].text, "one two");
    EXPECT_TRUE(run.results[2].isFinal);
    EXPECT_NEAR(run.results[2].start, 1.0, 0.011);
    EXPECT_NEAR(run.results[2].end, 2.0, 0.011);
    // The stretch still open at the end of the input is finalized.
    EXPECT_TRUE(run.results[3].isFinal);
    EXPECT_NEAR(run.results[3].start, 2.5, 0.011);
    EXPECT_TRUE(recognize(*speech, {audio(2.0, 0)}).results.empty());
}

TEST(SimulatedSpeech, EnergyRecognizerSaysTheTranscriptOneSentencePerStretch) {
    auto speech = speechOf({{"transcript", {"Hello there, world.", "Bye."}}});
    const Recognition run = recognize(
        *speech, {audio(1.6, 0.3), audio(0.5, 0), audio(0.6, 0.3), audio(0.5, 0), audio(0.6, 0.3)});
    std::vector<std::pair<std::string, bool>> said;
    for (const SpeechResult& result : run.results)
        said.emplace_back(result.text, result.isFinal);
    const std::vector<std::pair<std::string, bool>> expected{
        {"Hello", false},    {"Hello there,", false}, {"Hello there, world.", false},
        {"Hello there, world.", true},                 {"Bye.", false},
        {"Bye.", true},      {"one", false},          {"one", true}};
    EXPECT_EQ(said, expected);
    EXPECT_NEAR(run.results[3].end, 1.6, 0.011);
    EXPECT_NEAR(run.results[5].start, 2.1, 0.011);
}

TEST(SimulatedSpeech, FailuresOfTheAnalyzer) {
    auto speech = speechOf({{"setContextFailure", "Too many terms."},
                            {"startFailure", "Busy."},
                            {"audioFormat", nullptr}});
    auto transcriber = speech->makeTranscriber(Locale::fromIdentifier("en_US"), {});
    auto analyzer = speech->makeAnalyzer({transcriber});
    EXPECT_THROW(analyzer->setContext({{{"general", {"Norvi"}}}}), SpeechError);
    EXPECT_THROW(analyzer->start(std::make_shared<AnalyzerInputStream>()), SpeechError);
    EXPECT_FALSE(speech->bestAvailableAudioFormat({transcriber}));

    auto failing = speechOf(
        {{"results",
          {{{"text", "a"}, {"start", 0}, {"end", 0}}, {{"text", "b"}, {"start", 0}, {"end", 0}}}},
         {"resultsFailure", {{"afterResults", 1}, {"message", "Recognizer crashed."}}}});
    const Recognition run = recognize(*failing, {audio(0.1, 0)});
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(run.failure, "Recognizer crashed.");
}

TEST(SimulatedSpeech, UnknownKeysAreRefused) {
    EXPECT_THROW(speechOf({{"bogus", 1}}), simulation::ScenarioError);
    EXPECT_THROW(speechOf({{"audioFormat", {{"commonFormat", "int8"}}}}),
                 simulation::ScenarioError);
    EXPECT_THROW(speechOf({{"results", {{{"text", "a"}}}}}), simulation::ScenarioError);
}

}  // namespace
}  // namespace norvi::engine
