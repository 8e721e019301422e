#include "apple-engine/platform/speech_pocketsphinx.h"

#include <pocketsphinx.h>
#include <sphinxbase/ckd_alloc.h>
#include <sphinxbase/err.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "apple-engine/async_queue.h"
#include "apple-engine/platform/queue_result_sequence.h"
#include "apple-engine/output.h"
#include "apple-engine/platform/espeak_pronunciation.h"
#include "support/fd_write.h"

namespace norvi::engine {
namespace {

constexpr std::string_view usEnglish = "en_US";
// Of the language model's probability, the share the vocabulary's own model gets: enough to
// bring its names forward, little enough to leave the rest of the speech alone.
constexpr float vocabularyWeight = 0.05f;
constexpr char vocabularySearch[] = "norvi-vocabulary";
// What PocketSphinx names the search it makes from "-lm".
constexpr char defaultSearch[] = "_default";
constexpr double inputRate = 16000.0;

bool isFile(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool modelInstalled(const PocketsphinxModel& model) {
    return isFile(model.acousticModel + "/mdef") && isFile(model.languageModel) &&
           isFile(model.dictionary);
}

bool isFiller(std::string_view word) {
    if (word.size() >= 2 && ((word.front() == '<' && word.back() == '>') ||
                             (word.front() == '[' && word.back() == ']'))) {
        return true;
    }
    return word.size() >= 4 && word.starts_with("++") && word.ends_with("++");
}

// "read(2)" is the dictionary's second pronunciation of "read".
std::string_view baseWord(std::string_view word) {
    if (word.size() < 3 || word.back() != ')')
        return word;
    const std::size_t open = word.rfind('(');
    if (open == std::string_view::npos || open == 0 || open + 2 >= word.size())
        return word;
    const std::string_view digits = word.substr(open + 1, word.size() - open - 2);
    const bool numbered =
        std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    return numbered ? word.substr(0, open) : word;
}

std::vector<std::string_view> splitWords(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t position = 0;
    while (position < text.size()) {
        const std::size_t start = text.find_first_not_of(" \t\n\r\f\v", position);
        if (start == std::string_view::npos)
            break;
        const std::size_t end = std::min(text.find_first_of(" \t\n\r\f\v", start), text.size());
        words.push_back(text.substr(start, end - start));
        position = end;
    }
    return words;
}

// The words of one vocabulary entry, without the punctuation around them.
std::vector<std::string> vocabularyWords(std::string_view entry) {
    constexpr std::string_view punctuation = ".,;:!?\"()[]{}";
    std::vector<std::string> words;
    for (std::string_view word : splitWords(entry)) {
        const std::size_t start = word.find_first_not_of(punctuation);
        if (start == std::string_view::npos)
            continue;
        const std::size_t end = word.find_last_not_of(punctuation);
        words.emplace_back(word.substr(start, end - start + 1));
    }
    return words;
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string logProbability(double probability) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", std::log10(probability));
    return text;
}

// ---- the decoder ----

// One PocketSphinx decoder with the US English model, its log kept off the engine's streams.
class Decoder {
  public:
    explicit Decoder(const PocketsphinxModel& model) {
        err_set_logfp(nullptr);
        config_ = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", model.acousticModel.c_str(), "-lm",
                              model.languageModel.c_str(), "-dict", model.dictionary.c_str(),
                              "-logfn", "/dev/null", nullptr);
        decoder_ = config_ == nullptr ? nullptr : ps_init(config_);
        if (decoder_ == nullptr) {
            if (config_ != nullptr)
                cmd_ln_free_r(config_);
            throw SpeechError("PocketSphinx could not load the US English model from " +
                              model.acousticModel + ".");
        }
    }
    ~Decoder() {
        ps_free(decoder_);
        cmd_ln_free_r(config_);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    ps_decoder_t* get() const { return decoder_; }
    // False once words were added without a search that knows them.
    bool usable() const { return usable_; }
    cmd_ln_t* config() const { return config_; }
    double framesPerSecond() const {
        const long rate = cmd_ln_int32_r(config_, "-frate");
        return rate > 0 ? static_cast<double>(rate) : 100.0;
    }

    std::optional<std::string> pronunciation(const std::string& word) const {
        char* phones = ps_lookup_word(decoder_, word.c_str());
        if (phones == nullptr)
            return std::nullopt;
        std::string copy = phones;
        ckd_free(phones);
        return copy;
    }

    // Adds the vocabulary's words the dictionary does not spell that way, and searches with
    // its small language model mixed into the general one. Throws SpeechError.
    void addVocabulary(const std::vector<std::string>& entries) {
        std::vector<std::vector<std::string>> phrases;
        for (const std::string& entry : entries) {
            std::vector<std::string> words = vocabularyWords(entry);
            if (!words.empty())
                phrases.push_back(std::move(words));
        }
        const std::set<std::string> missing = addMissingWords(phrases);
        for (auto& phrase : phrases) {
            std::erase_if(phrase, [&](const std::string& word) { return missing.contains(word); });
        }
        std::erase_if(phrases, [](const auto& phrase) { return phrase.empty(); });
        searchWith(phrases);
    }

  private:
    // Returns the words that could not be added.
    std::set<std::string> addMissingWords(const std::vector<std::vector<std::string>>& phrases) {
        std::vector<std::string> unknown;
        std::set<std::string> seen;
        for (const auto& phrase : phrases) {
            for (const std::string& word : phrase) {
                if (!seen.insert(word).second || pronunciation(word))
                    continue;
                if (std::optional<std::string> known = pronunciation(lowerCase(word))) {
                    addWord(word, *known);
                } else {
                    unknown.push_back(word);
                }
            }
        }
        std::set<std::string> missing;
        const std::vector<std::optional<std::string>> derived = espeakPronunciations(unknown);
        for (std::size_t index = 0; index < unknown.size(); ++index) {
            if (!derived[index] || !addWord(unknown[index], *derived[index])) {
                logDebug("vocabulary word without a pronunciation: " + unknown[index]);
                missing.insert(unknown[index]);
            }
        }
        return missing;
    }

    bool addWord(const std::string& word, const std::string& phones) {
        return ps_add_word(decoder_, word.c_str(), phones.c_str(), FALSE) >= 0;
    }

    // A new search over the dictionary as it is now (the decoder's first search does not know
    // the words just added), with the vocabulary's model mixed into the general one.
    void searchWith(const std::vector<std::vector<std::string>>& phrases) {
        if (phrases.empty())
            return;
        ngram_model_t* general = generalModel();
        ngram_model_t* vocabulary = general == nullptr ? nullptr : readModel(phrases);
        ngram_model_t* mixed = nullptr;
        if (vocabulary != nullptr) {
            ngram_model_t* models[] = {general, vocabulary};
            const char* names[] = {"general", "vocabulary"};
            const float32 weights[] = {1 - vocabularyWeight, vocabularyWeight};
            mixed = ngram_model_set_init(config_, models, const_cast<char**>(names), weights, 2);
            ngram_model_free(vocabulary);
        }
        ngram_model_t* searched = mixed != nullptr ? mixed : general;
        const bool ready = searched != nullptr &&
                           ps_set_lm(decoder_, vocabularySearch, searched) == 0 &&
                           ps_set_search(decoder_, vocabularySearch) == 0;
        if (mixed != nullptr)
            ngram_model_free(mixed);
        if (!ready) {
            usable_ = false;
            throw SpeechError("PocketSphinx could not search with the vocabulary.");
        }
        if (mixed == nullptr)
            throw SpeechError("PocketSphinx could not read the vocabulary's language model.");
    }

    // The model the decoder was loaded with: the one model of its first search's model set.
    // The search is asked for by its name: ps_get_search() leaks an iterator in this version.
    ngram_model_t* generalModel() const {
        ngram_model_t* set = ps_get_lm(decoder_, defaultSearch);
        if (set == nullptr)
            return nullptr;
        ngram_model_set_iter_t* iterator = ngram_model_set_iter(set);
        if (iterator == nullptr)
            return set;
        const char* name = nullptr;
        ngram_model_t* model = ngram_model_set_iter_model(iterator, &name);
        ngram_model_set_iter_free(iterator);
        return model;
    }

    ngram_model_t* readModel(const std::vector<std::vector<std::string>>& phrases) const {
        const char* directory = std::getenv("TMPDIR");
        std::string path =
            std::string(directory != nullptr && *directory != '\0' ? directory : "/tmp") +
            "/norvi-vocabulary-XXXXXX";
        const int fd = ::mkstemp(path.data());
        if (fd < 0)
            return nullptr;
        const bool written = writeAll(fd, vocabularyLanguageModel(phrases));
        ::close(fd);
        // The model takes its own reference to the decoder's log-math tables (as the decoder's
        // own models do), whatever the header says about ownership.
        ngram_model_t* model =
            written ? ngram_model_read(config_, path.c_str(), NGRAM_ARPA, ps_get_logmath(decoder_))
                    : nullptr;
        ::unlink(path.c_str());
        return model;
    }

    cmd_ln_t* config_ = nullptr;
    ps_decoder_t* decoder_ = nullptr;
    bool usable_ = true;
};

// ---- recognition ----

class PocketsphinxTranscriber final : public SpeechTranscriber {
  public:
    PocketsphinxTranscriber(Locale locale, bool volatileResults)
        : locale_(std::move(locale)), volatileResults_(volatileResults) {}
    const Locale& locale() const override { return locale_; }
    std::shared_ptr<SpeechResultSequence> results() override {
        return std::make_shared<QueueResultSequence>(queue_);
    }
    const std::shared_ptr<AsyncQueue<SpeechResult>>& queue() const { return queue_; }
    bool volatileResults() const { return volatileResults_; }

  private:
    Locale locale_;
    bool volatileResults_;
    std::shared_ptr<AsyncQueue<SpeechResult>> queue_ = std::make_shared<AsyncQueue<SpeechResult>>();
};

// Feeds the decoder on the analyzer's thread and turns its utterances into results.
class Recognition {
  public:
    Recognition(std::unique_ptr<Decoder> decoder, std::shared_ptr<AsyncQueue<SpeechResult>> results,
                bool volatileResults)
        : decoder_(std::move(decoder)),
          results_(std::move(results)),
          volatileResults_(volatileResults) {}

    Decoder& decoder() { return *decoder_; }

    // The whole analysis: the input, then (once finalization is asked for) the last
    // utterance, then the end of the results.
    void run(AnalyzerInputStream& input) {
        try {
            recognise(input);
            waitForFinalizeRequest();
            if (inUtterance_)
                endUtterance(false);
            else
                ps_end_utt(decoder_->get());
            results_->finish();
        } catch (const SpeechError& error) {
            results_->finish(std::make_exception_ptr(error));
        }
        std::lock_guard lock(mutex_);
        finished_ = true;
        changed_.notify_all();
    }

    void requestFinalize() {
        std::unique_lock lock(mutex_);
        finalizeRequested_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return finished_; });
    }

  private:
    double now() const { return static_cast<double>(samples_) / inputRate; }

    void recognise(AnalyzerInputStream& input) {
        ps_decoder_t* ps = decoder_->get();
        if (!decoder_->usable())
            throw SpeechError("PocketSphinx could not search with the vocabulary.");
        // Stream-wide frame counts, so every utterance is timed from the start of the input.
        if (ps_start_stream(ps) < 0 || ps_start_utt(ps) < 0)
            throw SpeechError("PocketSphinx could not start recognising.");
        while (std::optional<AnalyzerInput> item = input.next()) {
            const PcmBuffer* buffer = item->buffer.get();
            if (buffer == nullptr || buffer->int16ChannelData() == nullptr)
                continue;
            if (ps_process_raw(ps, buffer->int16ChannelData(), buffer->frameLength(), FALSE,
                               FALSE) < 0) {
                throw SpeechError("PocketSphinx could not process the audio.");
            }
            samples_ += buffer->frameLength();
            const bool inSpeech = ps_get_in_speech(ps) != 0;
            if (inSpeech && !inUtterance_) {
                inUtterance_ = true;
                utteranceStart_ = now();
                partial_.clear();
            }
            if (inSpeech && volatileResults_) {
                reportPartial();
            } else if (!inSpeech && inUtterance_) {
                endUtterance(true);
            }
        }
    }

    void waitForFinalizeRequest() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return finalizeRequested_; });
    }

    void reportPartial() {
        const char* hypothesis = ps_get_hyp(decoder_->get(), nullptr);
        std::string text = transcriptText(hypothesis == nullptr ? "" : hypothesis);
        if (text.empty() || text == partial_)
            return;
        partial_ = text;
        results_->push({std::move(text), utteranceStart_, now(), false});
    }

    void endUtterance(bool startNext) {
        ps_decoder_t* ps = decoder_->get();
        if (ps_end_utt(ps) < 0)
            throw SpeechError("PocketSphinx could not finish an utterance.");
        const char* hypothesis = ps_get_hyp(ps, nullptr);
        SpeechResult result{transcriptText(hypothesis == nullptr ? "" : hypothesis),
                            utteranceStart_, now(), true};
        timeFromSegments(result);
        results_->push(std::move(result));
        inUtterance_ = false;
        if (startNext && ps_start_utt(ps) < 0)
            throw SpeechError("PocketSphinx could not start recognising.");
    }

    // From the first word's first frame to the end of the last word's last frame.
    void timeFromSegments(SpeechResult& result) const {
        std::optional<int> first;
        int last = 0;
        for (ps_seg_t* segment = ps_seg_iter(decoder_->get()); segment != nullptr;
             segment = ps_seg_next(segment)) {
            if (isFiller(baseWord(ps_seg_word(segment))))
                continue;
            int startFrame = 0;
            int endFrame = 0;
            ps_seg_frames(segment, &startFrame, &endFrame);
            if (!first)
                first = startFrame;
            last = endFrame;
        }
        if (!first)
            return;
        const double rate = decoder_->framesPerSecond();
        result.start = *first / rate;
        result.end = (last + 1) / rate;
    }

    std::unique_ptr<Decoder> decoder_;
    std::shared_ptr<AsyncQueue<SpeechResult>> results_;
    bool volatileResults_;
    std::uint64_t samples_ = 0;
    bool inUtterance_ = false;
    double utteranceStart_ = 0;
    std::string partial_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool finalizeRequested_ = false;
    bool finished_ = false;
};

class PocketsphinxAnalyzer final : public SpeechAnalyzer {
  public:
    explicit PocketsphinxAnalyzer(std::shared_ptr<Recognition> recognition)
        : recognition_(std::move(recognition)) {}

    void setContext(const AnalysisContext& context) override {
        if (started_)
            throw SpeechError("The vocabulary must be set before the analyzer starts.");
        const auto general = context.contextualStrings.find("general");
        if (general != context.contextualStrings.end() && !general->second.empty())
            recognition_->decoder().addVocabulary(general->second);
    }

    void start(std::shared_ptr<AnalyzerInputStream> inputSequence) override {
        if (started_)
            throw SpeechError("The analyzer has already started.");
        started_ = true;
        // Detached: it waits for input that only the end of standard input finishes, and a
        // failed run must be able to exit without it.
        std::thread([recognition = recognition_, input = std::move(inputSequence)] {
            recognition->run(*input);
        }).detach();
    }

    void finalizeAndFinishThroughEndOfInput() override {
        if (!started_)
            throw SpeechError("The analyzer has not started.");
        recognition_->requestFinalize();
    }

  private:
    std::shared_ptr<Recognition> recognition_;
    bool started_ = false;
};

class PocketsphinxSpeech final : public Speech {
  public:
    explicit PocketsphinxSpeech(PocketsphinxModel model) : model_(std::move(model)) {}

    bool isAvailable() override { return true; }

    std::optional<Locale> supportedLocaleEquivalentTo(const Locale& locale) override {
        if (locale.identifier == "en-US" || locale.identifier == usEnglish)
            return Locale::fromIdentifier(std::string(usEnglish));
        return std::nullopt;
    }

    std::vector<Locale> supportedLocales() override {
        return {Locale::fromIdentifier(std::string(usEnglish))};
    }

    std::vector<Locale> installedLocales() override {
        if (!modelInstalled(model_))
            return {};
        return supportedLocales();
    }

    std::shared_ptr<SpeechTranscriber> makeTranscriber(const Locale& locale,
                                                       TranscriberOptions options) override {
        return std::make_shared<PocketsphinxTranscriber>(locale, options.volatileResults);
    }

    AssetStatus assetStatus(const SpeechModules& modules) override {
        for (const auto& module : modules) {
            if (module->locale().identifier != usEnglish)
                return AssetStatus::unsupported;
        }
        return modelInstalled(model_) ? AssetStatus::installed : AssetStatus::supported;
    }

    std::shared_ptr<AssetInstallationRequest> assetInstallationRequest(
        const SpeechModules& modules) override {
        if (assetStatus(modules) == AssetStatus::installed)
            return nullptr;
        throw SpeechError(
            "The US English speech model is not installed and cannot be downloaded here: "
            "install the Debian package pocketsphinx-en-us.");
    }

    std::optional<AudioFormat> bestAvailableAudioFormat(const SpeechModules&) override {
        return AudioFormat{CommonFormat::pcmFormatInt16, inputRate, 1, true};
    }

    std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const SpeechModules& modules) override {
        std::shared_ptr<PocketsphinxTranscriber> transcriber;
        if (modules.size() == 1)
            transcriber = std::dynamic_pointer_cast<PocketsphinxTranscriber>(modules.front());
        if (!transcriber)
            throw SpeechError("The analyzer needs one transcriber of this recognizer.");
        return std::make_shared<PocketsphinxAnalyzer>(
            std::make_shared<Recognition>(std::make_unique<Decoder>(model_), transcriber->queue(),
                                          transcriber->volatileResults()));
    }

  private:
    PocketsphinxModel model_;
};

}  // namespace

std::string transcriptText(std::string_view hypothesis) {
    std::string text;
    for (std::string_view word : splitWords(hypothesis)) {
        word = baseWord(word);
        if (isFiller(word))
            continue;
        if (!text.empty())
            text += ' ';
        // The dictionary spells everything in lower case, the pronoun too.
        if (word == "i" || word.starts_with("i'")) {
            text += 'I';
            word.remove_prefix(1);
        }
        text += word;
    }
    return text;
}

std::string vocabularyLanguageModel(const std::vector<std::vector<std::string>>& phrases) {
    std::set<std::string> words;
    std::map<std::string, std::set<std::string>> followers;
    for (const auto& phrase : phrases) {
        for (std::size_t index = 0; index < phrase.size(); ++index) {
            words.insert(phrase[index]);
            if (index + 1 < phrase.size())
                followers[phrase[index]].insert(phrase[index + 1]);
        }
    }
    words.erase("<s>");
    words.erase("</s>");
    std::size_t bigrams = 0;
    for (const auto& [word, next] : followers)
        bigrams += next.size();
    // A word that starts a known pair keeps half its probability for the pair; the rest backs
    // off to the words on their own.
    const std::string half = logProbability(0.5);
    const std::string unigram = logProbability(1.0 / static_cast<double>(words.size() + 1));
    std::string arpa = "\\data\\\nngram 1=" + std::to_string(words.size() + 2) + "\n";
    if (bigrams > 0)
        arpa += "ngram 2=" + std::to_string(bigrams) + "\n";
    arpa += "\n\\1-grams:\n-99.000000 <s> 0.000000\n" + unigram + " </s> 0.000000\n";
    for (const std::string& word : words) {
        arpa += unigram + " " + word + " " +
                (followers.contains(word) ? half : std::string("0.000000")) + "\n";
    }
    if (bigrams > 0) {
        arpa += "\n\\2-grams:\n";
        for (const auto& [word, next] : followers) {
            const std::string probability = logProbability(0.5 / static_cast<double>(next.size()));
            for (const std::string& follower : next)
                arpa += probability + " " + word + " " + follower + "\n";
        }
    }
    return arpa + "\n\\end\\\n";
}

std::shared_ptr<Speech> makePocketsphinxSpeech(PocketsphinxModel model) {
    return std::make_shared<PocketsphinxSpeech>(std::move(model));
}

}  // namespace norvi::engine
