// norvi-apple-engine on the real Linux backends (NORVI_SIMULATION unset): PocketSphinx hears
// recorded and synthesised speech, apertium translates. Setup installs every package these
// need, so a missing one fails the test with its name.
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/apple-engine/engine_process.h"
#include "tests/apple-engine/speech_clips.h"

namespace norvi::engine {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using norvi::testing::ProcessResult;
using norvi::testing::RunningProcess;
using norvi::testing::splitLines;
using norvi::testing::TemporaryDirectory;
using testing::Environment;
using testing::runEngine;

const Environment realMachine{{"NORVI_SIMULATION", std::nullopt},
                              {"NORVI_APPLE_ENGINE_DEBUG", std::nullopt}};
const std::string readyEnUs = R"({"speechLocale":"en_US","translation":false,"type":"ready"})";
const std::string recording = "/usr/share/pocketsphinx/test/data/goforward.raw";

std::vector<json> records(const ProcessResult& result) {
    std::vector<json> parsed;
    for (const std::string& line : splitLines(result.standardOutput))
        parsed.push_back(json::parse(line));
    return parsed;
}

std::vector<json> finalLines(const std::vector<json>& all) {
    std::vector<json> finals;
    for (const json& record : all) {
        if (record["type"] == "line" && record["isFinal"] == true &&
            !record.contains("translation"))
            finals.push_back(record);
    }
    return finals;
}

class PocketsphinxEngine : public ::testing::Test {
  protected:
    TemporaryDirectory directory_;
};

TEST_F(PocketsphinxEngine, TranscribesItsOwnTestRecording) {
    std::ifstream file(recording, std::ios::binary);
    ASSERT_TRUE(file) << recording
                      << " is missing (scripts/setup.sh installs pocketsphinx-testdata)";
    const std::string pcm((std::istreambuf_iterator<char>(file)), {});
    const auto result = runEngine({"transcribe", "--language", "en-US"}, realMachine, pcm);
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(result.standardError, "");
    const std::vector<std::string> lines = splitLines(result.standardOutput);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), readyEnUs);
    const json last = json::parse(lines.back());
    EXPECT_EQ(last["text"], "go forward ten meters");
    EXPECT_EQ(last["id"], 1);
    EXPECT_EQ(last["isFinal"], true);
    const auto durationMs = static_cast<std::int64_t>(pcm.size() / 32);
    EXPECT_GE(last["startMs"].get<std::int64_t>(), 0);
    EXPECT_LT(last["startMs"].get<std::int64_t>(), last["endMs"].get<std::int64_t>());
    EXPECT_LE(last["endMs"].get<std::int64_t>(), durationMs);
    // The partial hypotheses came first, each a new text of the same line.
    std::string previous;
    for (std::size_t index = 1; index + 1 < lines.size(); ++index) {
        const json line = json::parse(lines[index]);
        EXPECT_EQ(line.size(), 4u) << lines[index];
        EXPECT_EQ(line["id"], 1);
        EXPECT_EQ(line["isFinal"], false);
        EXPECT_NE(line["text"], previous);
        previous = line["text"];
    }
}

TEST_F(PocketsphinxEngine, EachUtteranceBecomesOneFinalLineTimedInTheStream) {
    const testing::JoinedClips joined = testing::joinedClips(
        directory_.path(),
        {"the weather is nice today", "please open the door", "turn left at the next corner"});
    const auto result = runEngine({"transcribe", "--language", "en_US"}, realMachine, joined.pcm);
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;
    const std::vector<json> all = records(result);
    const std::vector<json> finals = finalLines(all);
    ASSERT_EQ(finals.size(), joined.clips.size()) << result.standardOutput;
    for (std::size_t index = 0; index < finals.size(); ++index) {
        const json& line = finals[index];
        const auto& clip = joined.clips[index];
        SCOPED_TRACE(clip.text);
        EXPECT_EQ(line["id"], index + 1);
        EXPECT_EQ(line["text"], clip.text);
        // Inside its own clip, give or take the recognizer's 10 ms frames at either end.
        EXPECT_GE(line["startMs"].get<std::int64_t>(), clip.startMs - 20);
        EXPECT_LT(line["startMs"].get<std::int64_t>(), line["endMs"].get<std::int64_t>());
        EXPECT_LE(line["endMs"].get<std::int64_t>(), clip.endMs + 20);
    }
    // Volatile lines of a line come before its final one and after the previous line's.
    std::int64_t lineId = 1;
    for (const json& record : std::vector(all.begin() + 1, all.end())) {
        EXPECT_EQ(record["id"], lineId) << record;
        if (record["isFinal"] == true)
            ++lineId;
    }
}

TEST_F(PocketsphinxEngine, SilenceGivesReadyAndNoLine) {
    for (const std::string& pcm : {testing::silence(3), std::string()}) {
        const auto result = runEngine({"transcribe", "--language", "en"}, realMachine, pcm);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.standardOutput, readyEnUs + "\n");
        EXPECT_EQ(result.standardError, "");
    }
}

TEST_F(PocketsphinxEngine, AMadeUpNameIsHeardOnlyFromTheVocabulary) {
    const std::string sentence = "the meeting with Zorblax is at noon";
    const std::string pcm = testing::spokenClip(directory_.path(), sentence) + testing::silence(1);
    const auto without = runEngine({"transcribe", "--language", "en-US"}, realMachine, pcm);
    ASSERT_EQ(without.exitStatus, 0);
    EXPECT_EQ(without.standardOutput.find("Zorblax"), std::string::npos) << without.standardOutput;

    Environment debug = realMachine;
    debug["NORVI_APPLE_ENGINE_DEBUG"] = "1";
    // "-" gets no pronunciation: it is left out, and only the debug log says so.
    const auto with = runEngine(
        {"transcribe", "--language", "en-US", "--vocabulary", R"(["Zorblax", "-"])"}, debug, pcm);
    ASSERT_EQ(with.exitStatus, 0) << with.standardError;
    const std::vector<json> finals = finalLines(records(with));
    ASSERT_EQ(finals.size(), 1u) << with.standardOutput;
    EXPECT_EQ(finals.front()["text"], sentence);
    EXPECT_NE(
        with.standardError.find("norvi-apple-engine: vocabulary word without a pronunciation: -\n"
                                "norvi-apple-engine: contextual strings set (2 terms)\n"),
        std::string::npos)
        << with.standardError;
}

class ApertiumEngine : public ::testing::Test {
  protected:
    static void expectFailure(const ProcessResult& result, const std::string& message) {
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.standardOutput,
                  json({{"message", message}, {"type", "error"}}).dump() + "\n");
        EXPECT_EQ(result.standardError, "norvi-apple-engine: " + message + "\n");
    }

    TemporaryDirectory directory_;
};

TEST_F(ApertiumEngine, TranslatesEnglishToSpanish) {
    const struct {
        std::string language;
        std::string target;
        std::string text;
        std::string translation;
    } cases[] = {
        {"en", "es", "hello world", "hola Mundo"},
        {"en-US", "es-ES", "hello world\n", "hola Mundo\n"},
        {"es", "en", "buenos días", "good morning"},
        {"en", "es", "  ", "  "},
    };
    for (const auto& [language, target, text, translation] : cases) {
        const auto result =
            runEngine({"translate", "--language", language, "--target", target}, realMachine, text);
        SCOPED_TRACE(text);
        EXPECT_EQ(result.exitStatus, 0) << result.standardError;
        EXPECT_EQ(result.standardOutput,
                  json({{"translation", translation}, {"type", "translation"}}).dump() + "\n");
        EXPECT_EQ(result.standardError, "");
    }
    // The characters of apertium's stream format come through as text.
    const auto result = runEngine({"translate", "--language", "en", "--target", "es"}, realMachine,
                                  "a/b <c> [d] {e} ^f$ @g \\h");
    EXPECT_EQ(result.exitStatus, 0);
    const std::string translation = json::parse(result.standardOutput)["translation"];
    for (const std::string piece : {"/", "<", ">", "[", "]", "{", "}", "^", "$", "@g", "\\"}) {
        EXPECT_NE(translation.find(piece), std::string::npos) << piece << " in " << translation;
    }
}

TEST_F(ApertiumEngine, AnUnknownPairIsUnsupported) {
    const std::pair<std::string, std::string> pairs[] = {{"en", "de"}, {"xx", "es"}, {"es", "es"}};
    for (const auto& [language, target] : pairs) {
        expectFailure(runEngine({"translate", "--language", language, "--target", target},
                                realMachine, "hello"),
                      "Apple translation does not support " + language + " to " + target + ".");
    }
    expectFailure(runEngine({"transcribe", "--language", "en", "--target", "de"}, realMachine),
                  "Apple translation does not support en to de.");
}

TEST_F(ApertiumEngine, CapabilitiesListUsEnglishAndTheInstalledPairs) {
    const auto result = runEngine({"capabilities"}, realMachine);
    ASSERT_EQ(result.exitStatus, 0);
    const json capabilities = json::parse(result.standardOutput);
    EXPECT_EQ(capabilities["speechLanguages"], json({"en"}));
    EXPECT_EQ(capabilities["installedSpeechLanguages"], json({"en"}));
    const auto languages = capabilities["translationLanguages"].get<std::vector<std::string>>();
    EXPECT_TRUE(std::is_sorted(languages.begin(), languages.end()));
    for (const std::string code : {"en", "es"}) {
        EXPECT_NE(std::find(languages.begin(), languages.end(), code), languages.end()) << code;
    }
}

TEST_F(ApertiumEngine, TranscribeTranslatesEachLineAfterItsUntranslatedRecord) {
    const testing::JoinedClips joined = testing::joinedClips(
        directory_.path(), {"the weather is nice today", "please open the door"});
    const auto result =
        runEngine({"transcribe", "--language", "en-US", "--target", "es"}, realMachine, joined.pcm);
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;
    const std::vector<json> all = records(result);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front(),
              json::parse(R"({"speechLocale":"en_US","translation":true,"type":"ready"})"));
    std::vector<json> translatedFinals;
    for (std::size_t index = 1; index < all.size(); ++index) {
        const json& record = all[index];
        ASSERT_EQ(record["type"], "line") << record;
        if (!record.contains("translation"))
            continue;
        // The same state of the line was written before, without its translation.
        json untranslated = record;
        untranslated.erase("translation");
        EXPECT_NE(std::find(all.begin() + 1, all.begin() + static_cast<std::ptrdiff_t>(index),
                            untranslated),
                  all.begin() + static_cast<std::ptrdiff_t>(index))
            << record;
        if (record["isFinal"] == true)
            translatedFinals.push_back(record);
    }
    ASSERT_EQ(translatedFinals.size(), 2u) << result.standardOutput;
    EXPECT_EQ(translatedFinals[0]["translation"], "El tiempo es bueno hoy");
    EXPECT_EQ(translatedFinals[1]["translation"], "Complacer abrir la puerta");
}

// The live processes whose parent is this one.
std::vector<pid_t> children() {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    while (dirent* entry = proc == nullptr ? nullptr : ::readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string text;
        if (!std::getline(stat, text))
            continue;
        // pid (comm) state ppid ...; comm may hold spaces and parentheses.
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        char state = 0;
        pid_t parent = 0;
        fields >> state >> parent;
        if (parent == ::getpid() && state != 'Z')
            found.push_back(static_cast<pid_t>(std::stoi(entry->d_name)));
    }
    if (proc != nullptr)
        ::closedir(proc);
    return found;
}

// Reaps adopted processes until none is alive; true when that happened in time.
bool orphansGone(std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (children().empty())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

TEST_F(ApertiumEngine, NoApertiumProcessOutlivesTheEngine) {
    // A subreaper adopts whatever the engine's children leave behind.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const auto translated =
        runEngine({"translate", "--language", "en", "--target", "es"}, realMachine, "good night");
    EXPECT_EQ(translated.exitStatus, 0);
    EXPECT_EQ(children(), std::vector<pid_t>{}) << "left behind by translate";

    const testing::JoinedClips joined =
        testing::joinedClips(directory_.path(), {"please open the door"});
    const auto transcribed =
        runEngine({"transcribe", "--language", "en", "--target", "es"}, realMachine, joined.pcm);
    EXPECT_EQ(transcribed.exitStatus, 0);
    EXPECT_EQ(children(), std::vector<pid_t>{}) << "left behind by transcribe";

    // Killed outright, the engine cannot stop its pipeline; the pipeline sees the end of its
    // input and ends by itself.
    auto options = testing::processOptions({"transcribe", "--language", "en", "--target", "es"},
                                           realMachine, joined.pcm);
    options.keepStdinOpen = true;
    RunningProcess engine(NORVI_APPLE_ENGINE_PROGRAM, options);
    ASSERT_TRUE(engine.waitForOutput([](const std::string& output) {
        return output.find("\"translation\":\"") != std::string::npos;
    })) << engine.standardOutput();
    engine.sendSignal(SIGKILL);
    EXPECT_EQ(engine.wait().termSignal, SIGKILL);
    EXPECT_TRUE(orphansGone(10s)) << "apertium still running after the engine was killed";
}

}  // namespace
}  // namespace norvi::engine
