// The Linux backends behind the Speech and Translation interfaces, driven directly: the text
// rules, the pronunciations, apertium's modes and pipelines (with stand-in modes), and the
// child processes they run.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "apple-engine/line_translator.h"
#include "apple-engine/platform/apertium_stream_format.h"
#include "apple-engine/platform/child_process.h"
#include "apple-engine/platform/espeak_pronunciation.h"
#include "apple-engine/platform/speech_pocketsphinx.h"
#include "apple-engine/platform/translation_apertium.h"
#include "tests/support/process_runner.h"

namespace norvi::engine {
namespace {

using namespace std::chrono_literals;
using norvi::testing::TemporaryDirectory;

// ---- PocketSphinx ----

TEST(PocketsphinxSpeech, TranscriptTextLeavesOutFillersAndVariantTags) {
    const struct {
        std::string hypothesis;
        std::string text;
    } cases[] = {
        {"go forward ten meters", "go forward ten meters"},
        {"<s> <sil> go forward(2) ten [NOISE] meters </s>", "go forward ten meters"},
        {"++UH++ well  read(12)\tit", "well read it"},
        {"i think i'm here and i'll stay", "I think I'm here and I'll stay"},
        {"(2) word(x) item(3)", "(2) word(x) item"},
        {"<sil> [SPEECH]", ""},
        {"", ""},
    };
    for (const auto& [hypothesis, text] : cases) {
        EXPECT_EQ(transcriptText(hypothesis), text) << hypothesis;
    }
}

TEST(PocketsphinxSpeech, SpeaksUsEnglishOnlyAndNeverDownloads) {
    const std::shared_ptr<Speech> speech = makePocketsphinxSpeech();
    EXPECT_TRUE(speech->isAvailable());
    for (const std::string identifier : {"en-US", "en_US"}) {
        EXPECT_EQ(speech->supportedLocaleEquivalentTo(Locale::fromIdentifier(identifier)),
                  Locale::fromIdentifier("en_US"));
    }
    for (const std::string identifier : {"en", "en-GB", "de_DE"}) {
        EXPECT_EQ(speech->supportedLocaleEquivalentTo(Locale::fromIdentifier(identifier)),
                  std::nullopt);
    }
    EXPECT_EQ(speech->supportedLocales(), std::vector{Locale::fromIdentifier("en_US")});
    EXPECT_EQ(speech->bestAvailableAudioFormat({}),
              (AudioFormat{CommonFormat::pcmFormatInt16, 16000, 1, true}));

    // The model of the Debian package is installed (setup installs pocketsphinx-en-us).
    const auto transcriber = speech->makeTranscriber(Locale::fromIdentifier("en_US"), {});
    EXPECT_EQ(speech->installedLocales(), std::vector{Locale::fromIdentifier("en_US")});
    EXPECT_EQ(speech->assetStatus({transcriber}), AssetStatus::installed);
    EXPECT_EQ(speech->assetInstallationRequest({transcriber}), nullptr);
}

TEST(PocketsphinxSpeech, AMissingModelIsReportedNotFetched) {
    const std::shared_ptr<Speech> speech = makePocketsphinxSpeech(
        {"/nonexistent/en-us", "/nonexistent/en-us.lm.bin", "/nonexistent/cmudict-en-us.dict"});
    const auto transcriber = speech->makeTranscriber(Locale::fromIdentifier("en_US"), {});
    EXPECT_EQ(speech->installedLocales(), std::vector<Locale>{});
    EXPECT_EQ(speech->assetStatus({transcriber}), AssetStatus::supported);
    try {
        speech->assetInstallationRequest({transcriber});
        ADD_FAILURE() << "no failure";
    } catch (const SpeechError& error) {
        EXPECT_STREQ(error.what(),
                     "The US English speech model is not installed and cannot be downloaded here: "
                     "install the Debian package pocketsphinx-en-us.");
    }
    try {
        speech->makeAnalyzer({transcriber});
        ADD_FAILURE() << "no failure";
    } catch (const SpeechError& error) {
        EXPECT_STREQ(error.what(),
                     "PocketSphinx could not load the US English model from /nonexistent/en-us.");
    }
    const auto other = speech->makeTranscriber(Locale::fromIdentifier("de_DE"), {});
    EXPECT_EQ(speech->assetStatus({other}), AssetStatus::unsupported);
}

TEST(PocketsphinxSpeech, VocabularyLanguageModelIsAnArpaModelOfItsWords) {
    EXPECT_EQ(vocabularyLanguageModel({{"Zorblax"}, {"New", "York"}}),
              "\\data\\\n"
              "ngram 1=5\n"
              "ngram 2=1\n"
              "\n"
              "\\1-grams:\n"
              "-99.000000 <s> 0.000000\n"
              "-0.602060 </s> 0.000000\n"
              "-0.602060 New -0.301030\n"
              "-0.602060 York 0.000000\n"
              "-0.602060 Zorblax 0.000000\n"
              "\n"
              "\\2-grams:\n"
              "-0.301030 New York\n"
              "\n"
              "\\end\\\n");
}

TEST(EspeakPronunciation, IpaPhonemesBecomeTheModelsPhones) {
    const struct {
        std::string ipa;
        std::optional<std::string> phones;
    } cases[] = {
        {"z ˈoːɹ b l æ k s", "Z AO R B L AE K S"},
        {"h ə l ˈoʊ  w ˈɜː l d", "HH AH L OW W ER L D"},
        {"dʒ ˈɔɪ f əl", "JH OY F AH L"},
        {"θ ˈɪɹ ð ɚ ŋ", "TH IH R DH ER NG"},
        {"ˈɑːɹ  t ˈuː", "AA R T UW"},
        {"", std::nullopt},
        {"ˈ ˌ", std::nullopt},
        {"k ʁ", std::nullopt},
    };
    for (const auto& [ipa, phones] : cases) {
        EXPECT_EQ(cmuPhonesFromIpa(ipa), phones) << ipa;
    }
}

TEST(EspeakPronunciation, MadeUpWordsGetPhonesFromEspeak) {
    ASSERT_TRUE(runProgram({"espeak-ng", "--version"}, "", 10s))
        << "espeak-ng is not installed (scripts/setup.sh installs it)";
    EXPECT_EQ(espeakPronunciations({"Zorblax", "-", "Norvi"}),
              (std::vector<std::optional<std::string>>{"Z AO R B L AE K S", std::nullopt,
                                                       "N AO R V IY"}));
    EXPECT_EQ(espeakPronunciations({}), std::vector<std::optional<std::string>>{});
}

// ---- apertium ----

TEST(ApertiumStreamFormat, InputEscapesMarkupKeepsBlanksAndMarksTheEnd) {
    const struct {
        std::string text;
        std::optional<std::string> input;
    } cases[] = {
        {"hello world", "hello world.[]"},
        {"Hello world.", "Hello world..[]"},
        {" two  spaces\n\nand a tab\t", "[ ]two[  ]spaces[\n\n]and a tab.[][\t]"},
        {"a/b <c> {d} @e $f ^g \\h [i]", "a\\/b \\<c\\> \\{d\\} \\@e \\$f \\^g \\\\h \\[i\\].[]"},
        {std::string("x\0y", 3), "xy.[]"},
        {"#tag *star", "#tag *star.[]"},
        {" \n\t ", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, input] : cases) {
        EXPECT_EQ(apertiumInput(text), input) << text;
    }
}

TEST(ApertiumStreamFormat, OutputUndoesTheFormatAndDropsUnknownWordMarks) {
    const struct {
        std::string output;
        std::string original;
        std::string text;
    } cases[] = {
        {"hola Mundo.[]", "hello world", "hola Mundo"},
        {"Hola mundo..[]", "Hello world.", "Hola mundo."},
        {" Tengo un perro.[][\n]", "I have a dog\n", "Tengo un perro\n"},
        {" Estoy yendo a la tienda.  Es bien.[]", "I am going to the store. It is good",
         "Estoy yendo a la tienda. Es bien"},
        {"[ ]dos[  ]espacios [\n\n] y.[][\t]", " two  spaces\n\nand\t", " dos  espacios\n\ny\t"},
        {"a\\/b \\<c\\> \\{d\\} \\@e \\[i\\].[]", "a/b <c> {d} @e [i]", "a/b <c> {d} @e [i]"},
        {"@perro #gato *pájaro.[]", "dog cat bird", "perro gato pájaro"},
        {"#etiqueta *estrella.[]", "#tag *star", "#etiqueta *estrella"},
        {"correo@casa 5 # 6.[]", "mail@home 5 # 6", "correo@casa 5 # 6"},
    };
    for (const auto& [output, original, text] : cases) {
        EXPECT_EQ(apertiumOutput(output, original), text) << output;
    }
}

TEST(ApertiumTranslation, LanguageCodesAreTwoLetterWhereTheyCanBe) {
    EXPECT_EQ(languageCodeFromApertium("eng"), "en");
    EXPECT_EQ(languageCodeFromApertium("spa"), "es");
    EXPECT_EQ(languageCodeFromApertium("nob"), "nb");
    EXPECT_EQ(languageCodeFromApertium("ast"), "ast");
    EXPECT_EQ(languageCodeFromApertium("en"), "en");
}

// Stand-in modes: apertium-wblank-mode puts -z after each program of a mode, so sed -z -u
// answers each request at once, here with a prefix that tells the modes apart. A request
// containing "hang" makes sed wait for more input; "false" ends at once; a script that
// ignores the -z passes everything through with cat as it reads it, as apertium does.
class StandInModes : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(runProgram({"apertium-wblank-mode", "-z", "/dev/null"}, "", 10s))
            << "apertium is not installed (scripts/setup.sh installs it)";
        write("eng-spa.mode", "sed -u '/hang/{:a;N;ba};s/^/plain:/'");
        write("spa-eng.mode", "sed -u 's/^/plain:/'");
        write("spa-eng_US.mode", "sed -u 's/^/US:/'");
        write("cat-oci_aran.mode", "sed -u 's/^/aran:/'");
        write("eng-deu.mode", "false");
        const std::string passThrough =
            directory_.writeFile("pass-through", "#!/bin/sh\nexec cat\n");
        ::chmod(passThrough.c_str(), 0755);
        write("eng-fra.mode", passThrough);
        write("eng-spa-debug.mode", "false");
        write("README", "not a mode");
        translation_ =
            makeApertiumTranslation({.modesDirectory = directory_.path(), .timeout = 200ms});
    }

    void write(const std::string& name, const std::string& contents) {
        directory_.writeFile(name, contents + "\n");
    }

    // Runs one translation on the loop (a session's pipeline belongs to the loop it started
    // on, as in the program); the failure's message, or the text.
    std::string translate(TranslationSession& session, const std::string& text) {
        auto result = asio::co_spawn(loop_, session.translate(text), asio::use_future);
        loop_.restart();
        loop_.run();
        try {
            return result.get();
        } catch (const TranslationError& error) {
            return std::string("failed: ") + error.what();
        }
    }

    std::shared_ptr<TranslationSession> session(const std::string& source,
                                                const std::string& target) {
        return translation_->makeSession({source}, {target}, TranslationStrategy::lowLatency);
    }

    TemporaryDirectory directory_;
    asio::io_context loop_;
    std::shared_ptr<Translation> translation_;
};

TEST_F(StandInModes, InstalledPairsAreTheModesByTwoLetterCodes) {
    const auto availability =
        translation_->makeLanguageAvailability(TranslationStrategy::lowLatency);
    const struct {
        std::string source;
        std::string target;
        LanguageStatus status;
    } cases[] = {
        {"en", "es", LanguageStatus::installed},   {"en-US", "es_ES", LanguageStatus::installed},
        {"eng", "spa", LanguageStatus::installed}, {"es", "en", LanguageStatus::installed},
        {"ca", "oc", LanguageStatus::installed},   {"en", "de", LanguageStatus::installed},
        {"es", "de", LanguageStatus::unsupported}, {"fr", "en", LanguageStatus::unsupported},
        {"en", "en", LanguageStatus::unsupported}, {"", "es", LanguageStatus::unsupported},
    };
    for (const auto& [source, target, status] : cases) {
        EXPECT_EQ(availability->status({source}, {target}), status) << source << " " << target;
    }
    EXPECT_EQ(availability->supportedLanguages(),
              (std::vector<Language>{{"ca"}, {"oc"}, {"en"}, {"de"}, {"fr"}, {"es"}}));
}

TEST_F(StandInModes, ATargetWithARegionPrefersThatVariant) {
    EXPECT_EQ(translate(*session("es", "en-US"), "hola"), "US:hola");
    EXPECT_EQ(translate(*session("es", "en_US"), "hola"), "US:hola");
    EXPECT_EQ(translate(*session("es", "en"), "hola"), "plain:hola");
    EXPECT_EQ(translate(*session("es", "en-GB"), "hola"), "plain:hola");
    EXPECT_EQ(translate(*session("ca", "oc"), "bon dia"), "aran:bon dia");
}

TEST_F(StandInModes, OnePipelineServesEveryTranslationUntilOneTimesOut) {
    const auto english = session("en", "es");
    EXPECT_EQ(translate(*english, "one"), "plain:one");
    EXPECT_EQ(translate(*english, "two\n"), "plain:two\n");
    EXPECT_EQ(translate(*english, "  "), "  ");
    EXPECT_EQ(translate(*english, "please hang"),
              "failed: apertium did not translate within 0.2 seconds.");
    // A new pipeline takes over.
    EXPECT_EQ(translate(*english, "three"), "plain:three");
    // An answer longer than the socket holds is read while the text is still being written.
    std::string longText;
    while (longText.size() < (1 << 20))
        longText += "many words ";
    longText.pop_back();
    const std::string translated = translate(*session("en", "fr"), longText);
    EXPECT_TRUE(translated == longText) << translated.substr(0, 100);
    EXPECT_EQ(translate(*session("en", "de"), "anything"),
              "failed: apertium ended before it answered.");
}

TEST_F(StandInModes, AFailedLineTranslationIsReportedAndTheNextLineGoesOn) {
    std::vector<OutputRecord> records;
    auto translator = std::make_shared<Translator>(Translator{session("en", "es")});
    auto lineTranslator = std::make_shared<LineTranslator>(
        translator, loop_.get_executor(),
        [&](const OutputRecord& record) { records.push_back(record); });
    lineTranslator->submit(
        {.id = 1, .isFinal = true, .text = "please hang", .startMs = 0, .endMs = 900});
    lineTranslator->submit(
        {.id = 2, .isFinal = true, .text = "fine", .startMs = 1000, .endMs = 1500});
    loop_.run();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(std::get<ErrorEvent>(records[0]).message,
              "Translation failed: apertium did not translate within 0.2 seconds.");
    EXPECT_EQ(std::get<LineEvent>(records[1]), (LineEvent{.id = 2,
                                                          .isFinal = true,
                                                          .text = "fine",
                                                          .translation = "plain:fine",
                                                          .startMs = 1000,
                                                          .endMs = 1500}));
    EXPECT_TRUE(lineTranslator->isIdle());
}

// ---- child processes ----

// Reaps what this process adopted as a subreaper; true once none is left.
bool adoptedProcessesGone(std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (errno == ECHILD)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
}

TEST(ChildProcess, StoppingEndsTheWholeProcessGroup) {
    // Processes orphaned by the stop come to this one, which can then see them end.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    std::optional<ChildProcess> child(std::in_place,
                                      std::vector<std::string>{"sh", "-c", "sleep 30 & sleep 30"});
    const pid_t group = child->pid();
    std::this_thread::sleep_for(100ms);
    const auto started = std::chrono::steady_clock::now();
    const std::optional<int> status = child->stop(100ms);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(child->stop(), std::nullopt);
    EXPECT_TRUE(adoptedProcessesGone(5s));
    EXPECT_EQ(::kill(-group, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(ChildProcess, RunProgramGivesTheOutputOfASuccessfulRunOnly) {
    EXPECT_EQ(runProgram({"tr", "a-z", "A-Z"}, "abc\n", 10s), "ABC\n");
    EXPECT_EQ(runProgram({"sh", "-c", "echo out; exit 3"}, "", 10s), std::nullopt);
    EXPECT_EQ(runProgram({"no-such-program-here"}, "", 10s), std::nullopt);
    // Input the program never reads does not stop the engine (no SIGPIPE).
    EXPECT_EQ(runProgram({"true"}, std::string(1 << 20, 'x'), 10s), std::nullopt);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(runProgram({"sleep", "30"}, "", 200ms), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_THROW(ChildProcess({"no-such-program-here"}), ChildProcessError);
}

}  // namespace
}  // namespace norvi::engine
