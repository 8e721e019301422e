#include "apple-engine/platform/speech_simulated.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "apple-engine/async_queue.h"
#include "apple-engine/platform/queue_result_sequence.h"

namespace norvi::engine {
namespace {

using simulation::ScenarioError;
using Clock = std::chrono::steady_clock;

constexpr std::string_view section = "speech";

struct ScriptedResult {
    SpeechResult result;
    double deliverAt = 0;  // audio time at which the recognizer hands the result over
};

struct InstallationScript {
    double duration = 1.0;
    std::optional<double> failAfter;
    std::string failure = "The speech model download failed.";
    std::optional<std::string> requestFailure;
    bool noRequest = false;
};

struct SpeechScript {
    bool available = true;
    std::vector<std::string> supported{"en_US", "en_GB", "de_DE", "fr_FR"};
    std::optional<std::map<std::string, std::string>> equivalents;
    std::vector<std::string> installed{"en_US", "en_GB"};
    InstallationScript installation;
    std::optional<AudioFormat> audioFormat =
        AudioFormat{CommonFormat::pcmFormatInt16, 16000.0, 1, true};
    std::optional<std::string> setContextFailure;
    std::optional<std::string> startFailure;
    std::optional<std::vector<ScriptedResult>> results;
    std::vector<std::string> transcript;  // one sentence per stretch of speech, in order
    std::optional<std::size_t> failAfterResults;
    std::string resultsFailure = "The recognizer failed.";
    std::optional<std::string> finalizeFailure;
};

// ---- reading the scenario ----

std::string at(std::string_view where, std::string_view key) {
    return std::string(where) + "." + std::string(key);
}

std::vector<std::string> stringList(const nlohmann::json& object, std::string_view key,
                                    std::vector<std::string> fallback, std::string_view where) {
    const auto found = object.find(key);
    if (found == object.end())
        return fallback;
    std::vector<std::string> list;
    if (found->is_array()) {
        for (const nlohmann::json& item : *found) {
            if (!item.is_string())
                break;
            list.push_back(item.get<std::string>());
        }
        if (list.size() == found->size())
            return list;
    }
    throw ScenarioError("\"" + at(where, key) + "\" must be an array of strings.");
}

std::optional<std::string> optionalString(const nlohmann::json& object, std::string_view key,
                                          std::string_view where) {
    if (!object.contains(key))
        return std::nullopt;
    return simulation::stringValue(object, key, "", where);
}

// Times are numbers, or "nan", "inf" and "-inf" for the ranges a recognizer should never give.
double timeValue(const nlohmann::json& object, std::string_view key, std::string_view where) {
    const auto found = object.find(key);
    if (found != object.end() && found->is_string()) {
        const std::string text = found->get<std::string>();
        if (text == "nan")
            return std::numeric_limits<double>::quiet_NaN();
        if (text == "inf")
            return std::numeric_limits<double>::infinity();
        if (text == "-inf")
            return -std::numeric_limits<double>::infinity();
        throw ScenarioError("\"" + at(where, key) +
                            "\" must be a number, \"nan\", \"inf\" or \"-inf\".");
    }
    if (found == object.end()) {
        throw ScenarioError("\"" + at(where, key) + "\" is missing.");
    }
    return simulation::numberValue(object, key, 0, where);
}

CommonFormat commonFormatValue(const std::string& name, std::string_view where) {
    if (name == "int16")
        return CommonFormat::pcmFormatInt16;
    if (name == "int32")
        return CommonFormat::pcmFormatInt32;
    if (name == "float32")
        return CommonFormat::pcmFormatFloat32;
    if (name == "float64")
        return CommonFormat::pcmFormatFloat64;
    throw ScenarioError(
        "\"" + std::string(where) +
        ".commonFormat\" must be \"int16\", \"int32\", \"float32\" or \"float64\".");
}

std::optional<AudioFormat> audioFormatValue(const nlohmann::json& value) {
    constexpr std::string_view where = "speech.audioFormat";
    if (value.is_null())
        return std::nullopt;
    simulation::requireKnownKeys(
        value, {"commonFormat", "sampleRate", "channelCount", "interleaved"}, where);
    const std::int64_t channels = simulation::integerValue(value, "channelCount", 1, where);
    if (channels < 0 || channels > 64) {
        throw ScenarioError("\"speech.audioFormat.channelCount\" must be from 0 to 64.");
    }
    return AudioFormat{
        commonFormatValue(simulation::stringValue(value, "commonFormat", "int16", where), where),
        simulation::numberValue(value, "sampleRate", 16000.0, where),
        static_cast<std::uint32_t>(channels),
        simulation::boolValue(value, "interleaved", true, where),
    };
}

InstallationScript installationValue(const nlohmann::json& value) {
    constexpr std::string_view where = "speech.installation";
    simulation::requireKnownKeys(
        value, {"duration", "failAfter", "failure", "requestFailure", "noRequest"}, where);
    InstallationScript script;
    script.duration = simulation::numberValue(value, "duration", script.duration, where);
    if (value.contains("failAfter")) {
        script.failAfter = simulation::numberValue(value, "failAfter", 0, where);
    }
    script.failure = simulation::stringValue(value, "failure", script.failure, where);
    script.requestFailure = optionalString(value, "requestFailure", where);
    script.noRequest = simulation::boolValue(value, "noRequest", false, where);
    if (!(script.duration >= 0) || (script.failAfter && !(*script.failAfter >= 0))) {
        throw ScenarioError("\"speech.installation\" durations must not be negative.");
    }
    return script;
}

std::vector<ScriptedResult> resultsValue(const nlohmann::json& value) {
    if (!value.is_array()) {
        throw ScenarioError("\"speech.results\" must be an array of results.");
    }
    std::vector<ScriptedResult> results;
    for (std::size_t index = 0; index < value.size(); ++index) {
        const std::string where = "speech.results[" + std::to_string(index) + "]";
        const nlohmann::json& item = value[index];
        simulation::requireKnownKeys(item, {"text", "start", "end", "isFinal", "deliverAt"}, where);
        ScriptedResult scripted;
        scripted.result.text = simulation::stringValue(item, "text", "", where);
        scripted.result.start = timeValue(item, "start", where);
        scripted.result.end = timeValue(item, "end", where);
        scripted.result.isFinal = simulation::boolValue(item, "isFinal", false, where);
        const double end = scripted.result.end;
        scripted.deliverAt = item.contains("deliverAt")
                                 ? simulation::numberValue(item, "deliverAt", 0, where)
                                 : (std::isfinite(end) ? end : 0);
        results.push_back(std::move(scripted));
    }
    return results;
}

SpeechScript readScript(const nlohmann::json& value) {
    simulation::requireKnownKeys(
        value,
        {"available", "supportedLocales", "equivalentLocales", "installedLocales", "installation",
         "audioFormat", "setContextFailure", "startFailure", "results", "transcript",
         "resultsFailure", "finalizeFailure", "audioConversion"},
        section);
    SpeechScript script;
    script.available = simulation::boolValue(value, "available", true, section);
    script.supported = stringList(value, "supportedLocales", script.supported, section);
    script.installed = stringList(value, "installedLocales", script.installed, section);
    if (const auto found = value.find("equivalentLocales"); found != value.end()) {
        simulation::requireObject(*found, "speech.equivalentLocales");
        script.equivalents.emplace();
        for (const auto& [requested, supported] : found->items()) {
            if (!supported.is_string()) {
                throw ScenarioError("\"speech.equivalentLocales." + requested +
                                    "\" must be a string.");
            }
            (*script.equivalents)[requested] = supported.get<std::string>();
        }
    }
    if (const auto found = value.find("installation"); found != value.end()) {
        script.installation = installationValue(*found);
    }
    if (const auto found = value.find("audioFormat"); found != value.end()) {
        script.audioFormat = audioFormatValue(*found);
    }
    script.setContextFailure = optionalString(value, "setContextFailure", section);
    script.startFailure = optionalString(value, "startFailure", section);
    script.finalizeFailure = optionalString(value, "finalizeFailure", section);
    if (const auto found = value.find("results"); found != value.end()) {
        script.results = resultsValue(*found);
    }
    script.transcript = stringList(value, "transcript", {}, section);
    if (const auto found = value.find("resultsFailure"); found != value.end()) {
        constexpr std::string_view where = "speech.resultsFailure";
        simulation::requireKnownKeys(*found, {"afterResults", "message"}, where);
        const std::int64_t after = simulation::integerValue(*found, "afterResults", 0, where);
        if (after < 0)
            throw ScenarioError("\"speech.resultsFailure.afterResults\" must not be negative.");
        script.failAfterResults = static_cast<std::size_t>(after);
        script.resultsFailure =
            simulation::stringValue(*found, "message", script.resultsFailure, where);
    }
    return script;
}

// ---- recognizers ----

// Hands results to the transcriber's sequence, failing it after the scripted count.
class ResultSink {
  public:
    ResultSink(std::shared_ptr<AsyncQueue<SpeechResult>> queue,
               std::optional<std::size_t> failAfter, std::string failure)
        : queue_(std::move(queue)), failAfter_(failAfter), failure_(std::move(failure)) {
        failIfDue();
    }

    void emit(SpeechResult result) {
        if (failed_)
            return;
        queue_->push(std::move(result));
        ++delivered_;
        failIfDue();
    }

    void finish() { queue_->finish(); }

  private:
    void failIfDue() {
        if (failAfter_ && delivered_ >= *failAfter_ && !failed_) {
            failed_ = true;
            queue_->finish(std::make_exception_ptr(SpeechError(failure_)));
        }
    }

    std::shared_ptr<AsyncQueue<SpeechResult>> queue_;
    std::optional<std::size_t> failAfter_;
    std::string failure_;
    std::size_t delivered_ = 0;
    bool failed_ = false;
};

class Recognizer {
  public:
    virtual ~Recognizer() = default;
    virtual void onAudio(const PcmBuffer& buffer, ResultSink& sink) = 0;
    virtual void onEnd(ResultSink& sink) = 0;
};

// Hands over each scripted result once the audio time line has reached it.
class ScriptedRecognizer final : public Recognizer {
  public:
    explicit ScriptedRecognizer(std::vector<ScriptedResult> script) : script_(std::move(script)) {}

    void onAudio(const PcmBuffer& buffer, ResultSink& sink) override {
        frames_ += buffer.frameLength();
        const double now = static_cast<double>(frames_) / buffer.format().sampleRate;
        while (next_ < script_.size() && script_[next_].deliverAt <= now) {
            sink.emit(script_[next_++].result);
        }
    }

    void onEnd(ResultSink& sink) override {
        while (next_ < script_.size())
            sink.emit(script_[next_++].result);
    }

  private:
    std::vector<ScriptedResult> script_;
    std::size_t next_ = 0;
    std::uint64_t frames_ = 0;
};

// Finds stretches of speech by their energy in 10 ms windows of channel 0. Each stretch gives
// a volatile result every 0.5 s and one final result when 0.3 s of silence follow it (or the
// input ends). The n-th stretch says the transcript's n-th sentence, revealing one more of its
// words with each volatile result and all of them in the final one; past the transcript's end
// (or without one) a stretch has one word per half second, "one two three ...".
class EnergyRecognizer final : public Recognizer {
  public:
    explicit EnergyRecognizer(std::vector<std::string> transcript)
        : transcript_(std::move(transcript)) {}

    void onAudio(const PcmBuffer& buffer, ResultSink& sink) override {
        rate_ = buffer.format().sampleRate;
        window_ = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::llround(rate_ / 100)));
        for (std::uint32_t frame = 0; frame < buffer.frameLength(); ++frame) {
            const double value = buffer.sample(frame, 0);
            energy_ += value * value;
            if (++inWindow_ == window_)
                closeWindow(sink);
        }
    }

    void onEnd(ResultSink& sink) override {
        if (inWindow_ > 0)
            closeWindow(sink);
        if (inSpeech_)
            emitFinal(sink);
    }

  private:
    static constexpr double threshold = 0.01;  // RMS, about -40 dBFS
    static constexpr double wordLength = 0.5;
    static constexpr double pauseLength = 0.3;

    static std::vector<std::string> splitWords(const std::string& sentence) {
        std::vector<std::string> words;
        std::size_t at = 0;
        while ((at = sentence.find_first_not_of(' ', at)) != std::string::npos) {
            const std::size_t end = std::min(sentence.find(' ', at), sentence.size());
            words.push_back(sentence.substr(at, end - at));
            at = end;
        }
        return words;
    }

    // The first `count` words of this stretch's sentence, or its whole sentence when `final`.
    std::string words(std::size_t count, bool final) const {
        if (stretch_ < transcript_.size()) {
            const std::vector<std::string> all = splitWords(transcript_[stretch_]);
            if (final)
                return transcript_[stretch_];
            std::string text;
            for (std::size_t index = 0; index < std::min(count, all.size()); ++index)
                text += (index > 0 ? " " : "") + all[index];
            return text;
        }
        static constexpr const char* names[] = {"one", "two",   "three", "four", "five",
                                                "six", "seven", "eight", "nine", "ten"};
        std::string text;
        for (std::size_t index = 0; index < std::max<std::size_t>(count, 1); ++index) {
            if (index > 0)
                text += ' ';
            text += names[index % 10];
        }
        return text;
    }

    void closeWindow(ResultSink& sink) {
        const double start = static_cast<double>(framesDone_) / rate_;
        framesDone_ += inWindow_;
        const double end = static_cast<double>(framesDone_) / rate_;
        const bool loud = std::sqrt(energy_ / static_cast<double>(inWindow_)) >= threshold;
        energy_ = 0;
        inWindow_ = 0;
        if (loud) {
            if (!inSpeech_) {
                inSpeech_ = true;
                stretchStart_ = start;
                nextVolatile_ = start + wordLength;
                volatiles_ = 0;
            }
            lastLoudEnd_ = end;
            if (end >= nextVolatile_ - 1e-9) {
                const std::size_t count =
                    stretch_ < transcript_.size()
                        ? ++volatiles_
                        : static_cast<std::size_t>(std::llround((end - stretchStart_) / wordLength));
                sink.emit({words(count, false), stretchStart_, end, false});
                nextVolatile_ += wordLength;
            }
        } else if (inSpeech_ && end - lastLoudEnd_ >= pauseLength - 1e-9) {
            emitFinal(sink);
        }
    }

    void emitFinal(ResultSink& sink) {
        const double length = lastLoudEnd_ - stretchStart_;
        sink.emit({words(static_cast<std::size_t>(std::llround(length / wordLength)), true),
                   stretchStart_, lastLoudEnd_, true});
        inSpeech_ = false;
        ++stretch_;
    }

    std::vector<std::string> transcript_;
    std::size_t stretch_ = 0;     // stretches finished so far
    std::size_t volatiles_ = 0;   // volatile results of the current stretch
    double rate_ = 16000;
    std::uint64_t window_ = 160;
    std::uint64_t inWindow_ = 0;
    std::uint64_t framesDone_ = 0;
    double energy_ = 0;
    bool inSpeech_ = false;
    double stretchStart_ = 0;
    double lastLoudEnd_ = 0;
    double nextVolatile_ = 0;
};

// ---- platform objects ----

class Installed {
  public:
    explicit Installed(std::vector<std::string> identifiers)
        : identifiers_(std::move(identifiers)) {}

    bool contains(const std::string& identifier) {
        std::lock_guard lock(mutex_);
        return std::find(identifiers_.begin(), identifiers_.end(), identifier) !=
               identifiers_.end();
    }
    void add(const std::string& identifier) {
        std::lock_guard lock(mutex_);
        if (std::find(identifiers_.begin(), identifiers_.end(), identifier) == identifiers_.end()) {
            identifiers_.push_back(identifier);
        }
    }
    std::vector<std::string> list() {
        std::lock_guard lock(mutex_);
        return identifiers_;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> identifiers_;
};

class SimulatedTranscriber final : public SpeechTranscriber {
  public:
    explicit SimulatedTranscriber(Locale locale) : locale_(std::move(locale)) {}
    const Locale& locale() const override { return locale_; }
    std::shared_ptr<SpeechResultSequence> results() override {
        return std::make_shared<QueueResultSequence>(queue_);
    }
    const std::shared_ptr<AsyncQueue<SpeechResult>>& queue() const { return queue_; }

  private:
    Locale locale_;
    std::shared_ptr<AsyncQueue<SpeechResult>> queue_ = std::make_shared<AsyncQueue<SpeechResult>>();
};

class Progress final : public InstallationProgress {
  public:
    explicit Progress(double duration) : duration_(duration) {}

    double fractionCompleted() const override {
        if (done_.load())
            return 1;
        const auto started = started_.load();
        if (started == Clock::time_point::rep{})
            return 0;
        const double elapsed = std::chrono::duration<double>(Clock::now().time_since_epoch() -
                                                             Clock::duration(started))
                                   .count();
        return duration_ <= 0 ? 1 : std::clamp(elapsed / duration_, 0.0, 1.0);
    }
    void start() { started_.store(Clock::now().time_since_epoch().count()); }
    void complete() { done_.store(true); }

  private:
    double duration_;
    std::atomic<Clock::time_point::rep> started_{};
    std::atomic<bool> done_{false};
};

class SimulatedInstallationRequest final : public AssetInstallationRequest {
  public:
    SimulatedInstallationRequest(InstallationScript script, std::string locale,
                                 std::shared_ptr<Installed> installed,
                                 std::shared_ptr<simulation::CallRecorder> recorder)
        : script_(std::move(script)),
          locale_(std::move(locale)),
          installed_(std::move(installed)),
          recorder_(std::move(recorder)),
          progress_(std::make_shared<Progress>(script_.duration)) {}

    std::shared_ptr<const InstallationProgress> progress() const override { return progress_; }

    asio::awaitable<void> downloadAndInstall() override {
        if (recorder_)
            recorder_->record("downloadAndInstall", {{"locale", locale_}});
        progress_->start();
        const bool fails = script_.failAfter.has_value();
        const double wait = fails ? *script_.failAfter : script_.duration;
        const auto executor = co_await asio::this_coro::executor;
        asio::steady_timer timer(executor, std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(wait)));
        co_await timer.async_wait(asio::use_awaitable);
        if (fails)
            throw SpeechError(script_.failure);
        installed_->add(locale_);
        progress_->complete();
    }

  private:
    InstallationScript script_;
    std::string locale_;
    std::shared_ptr<Installed> installed_;
    std::shared_ptr<simulation::CallRecorder> recorder_;
    std::shared_ptr<Progress> progress_;
};

// What the analyzer's worker thread and the analyzer share.
struct AnalyzerRun {
    std::mutex mutex;
    std::condition_variable changed;
    bool finalizeRequested = false;
    bool finished = false;
};

class SimulatedAnalyzer final : public SpeechAnalyzer {
  public:
    SimulatedAnalyzer(std::shared_ptr<const SpeechScript> script,
                      std::shared_ptr<SimulatedTranscriber> transcriber,
                      std::shared_ptr<simulation::CallRecorder> recorder)
        : script_(std::move(script)),
          transcriber_(std::move(transcriber)),
          recorder_(std::move(recorder)) {}

    void setContext(const AnalysisContext& context) override {
        if (recorder_) {
            nlohmann::json strings = nlohmann::json::object();
            for (const auto& [tag, terms] : context.contextualStrings)
                strings[tag] = terms;
            recorder_->record("setContext", {{"contextualStrings", strings}});
        }
        if (script_->setContextFailure)
            throw SpeechError(*script_->setContextFailure);
    }

    void start(std::shared_ptr<AnalyzerInputStream> input) override {
        if (recorder_)
            recorder_->record("analyzerStart");
        if (script_->startFailure)
            throw SpeechError(*script_->startFailure);
        std::unique_ptr<Recognizer> recognizer;
        if (script_->results) {
            recognizer = std::make_unique<ScriptedRecognizer>(*script_->results);
        } else {
            recognizer = std::make_unique<EnergyRecognizer>(script_->transcript);
        }
        // Detached: the thread waits for input that only the end of standard input finishes,
        // and a failed run must be able to exit without it.
        std::thread(
            analyze, std::move(input), std::move(recognizer),
            ResultSink(transcriber_->queue(), script_->failAfterResults, script_->resultsFailure),
            run_)
            .detach();
    }

    void finalizeAndFinishThroughEndOfInput() override {
        if (recorder_)
            recorder_->record("finalizeAndFinishThroughEndOfInput");
        std::unique_lock lock(run_->mutex);
        run_->finalizeRequested = true;
        run_->changed.notify_all();
        run_->changed.wait(lock, [&] { return run_->finished; });
        if (script_->finalizeFailure)
            throw SpeechError(*script_->finalizeFailure);
    }

  private:
    // All audio given before the end of the input is recognised; the rest of the results
    // follow once finalization has been asked for.
    static void analyze(std::shared_ptr<AnalyzerInputStream> input,
                        std::unique_ptr<Recognizer> recognizer, ResultSink sink,
                        std::shared_ptr<AnalyzerRun> run) {
        while (std::optional<AnalyzerInput> item = input->next()) {
            if (item->buffer)
                recognizer->onAudio(*item->buffer, sink);
        }
        std::unique_lock lock(run->mutex);
        run->changed.wait(lock, [&] { return run->finalizeRequested; });
        recognizer->onEnd(sink);
        sink.finish();
        run->finished = true;
        run->changed.notify_all();
    }

    std::shared_ptr<const SpeechScript> script_;
    std::shared_ptr<SimulatedTranscriber> transcriber_;
    std::shared_ptr<simulation::CallRecorder> recorder_;
    std::shared_ptr<AnalyzerRun> run_ = std::make_shared<AnalyzerRun>();
};

class SimulatedSpeech final : public Speech {
  public:
    SimulatedSpeech(SpeechScript script, std::shared_ptr<simulation::CallRecorder> recorder)
        : script_(std::make_shared<const SpeechScript>(std::move(script))),
          installed_(std::make_shared<Installed>(script_->installed)),
          recorder_(std::move(recorder)) {}

    bool isAvailable() override { return script_->available; }

    std::optional<Locale> supportedLocaleEquivalentTo(const Locale& locale) override {
        std::optional<Locale> found;
        if (script_->equivalents) {
            const auto entry = script_->equivalents->find(locale.identifier);
            if (entry != script_->equivalents->end())
                found = Locale::fromIdentifier(entry->second);
        } else {
            std::string underscored = locale.identifier;
            std::replace(underscored.begin(), underscored.end(), '-', '_');
            if (std::find(script_->supported.begin(), script_->supported.end(), underscored) !=
                script_->supported.end()) {
                found = Locale::fromIdentifier(underscored);
            }
        }
        record("supportedLocaleEquivalentTo",
               {{"locale", locale.identifier},
                {"result", found ? nlohmann::json(found->identifier) : nullptr}});
        return found;
    }

    std::vector<Locale> supportedLocales() override {
        record("supportedLocales");
        return locales(script_->supported);
    }

    std::vector<Locale> installedLocales() override { return locales(installed_->list()); }

    std::shared_ptr<SpeechTranscriber> makeTranscriber(const Locale& locale,
                                                       TranscriberOptions options) override {
        record("makeTranscriber",
               {{"locale", locale.identifier}, {"volatileResults", options.volatileResults}});
        return std::make_shared<SimulatedTranscriber>(locale);
    }

    AssetStatus assetStatus(const SpeechModules& modules) override {
        bool allInstalled = true;
        for (const auto& module : modules) {
            const std::string& identifier = module->locale().identifier;
            if (std::find(script_->supported.begin(), script_->supported.end(), identifier) ==
                script_->supported.end()) {
                return AssetStatus::unsupported;
            }
            allInstalled = allInstalled && installed_->contains(identifier);
        }
        return allInstalled ? AssetStatus::installed : AssetStatus::supported;
    }

    std::shared_ptr<AssetInstallationRequest> assetInstallationRequest(
        const SpeechModules& modules) override {
        record("assetInstallationRequest");
        const InstallationScript& installation = script_->installation;
        if (installation.requestFailure)
            throw SpeechError(*installation.requestFailure);
        if (installation.noRequest || modules.empty())
            return nullptr;
        const std::string& identifier = modules.front()->locale().identifier;
        if (installed_->contains(identifier))
            return nullptr;
        return std::make_shared<SimulatedInstallationRequest>(installation, identifier, installed_,
                                                              recorder_);
    }

    std::optional<AudioFormat> bestAvailableAudioFormat(const SpeechModules&) override {
        return script_->audioFormat;
    }

    std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const SpeechModules& modules) override {
        std::shared_ptr<SimulatedTranscriber> transcriber;
        if (!modules.empty())
            transcriber = std::dynamic_pointer_cast<SimulatedTranscriber>(modules.front());
        if (!transcriber)
            throw SpeechError("The analyzer needs a transcriber of this recognizer.");
        return std::make_shared<SimulatedAnalyzer>(script_, std::move(transcriber), recorder_);
    }

  private:
    static std::vector<Locale> locales(const std::vector<std::string>& identifiers) {
        std::vector<Locale> list;
        for (const std::string& identifier : identifiers)
            list.push_back(Locale::fromIdentifier(identifier));
        return list;
    }

    void record(std::string_view call, const nlohmann::json& details = nullptr) {
        if (recorder_)
            recorder_->record(call, details);
    }

    std::shared_ptr<const SpeechScript> script_;
    std::shared_ptr<Installed> installed_;
    std::shared_ptr<simulation::CallRecorder> recorder_;
};

}  // namespace

std::shared_ptr<Speech> makeSimulatedSpeech(const simulation::Scenario& scenario) {
    return std::make_shared<SimulatedSpeech>(readScript(scenario.section("speech")),
                                             scenario.recorder());
}

}  // namespace norvi::engine
