#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/awaitable.hpp>

#include "apple-engine/platform/audio_conversion.h"
#include "apple-engine/platform/locale.h"

namespace norvi::engine {

// A failure of the speech platform; what() is the platform's own description.
class SpeechError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

enum class AssetStatus { unsupported, supported, downloading, installed };
std::string_view assetStatusName(AssetStatus status);

struct TranscriberOptions {
    bool volatileResults = false;
};

// One recognition result: its plain text, its time range on the input's time line (start and
// end in seconds) and whether it is final.
struct SpeechResult {
    std::string text;
    double start = 0;
    double end = 0;
    bool isFinal = false;
};

// The results of a transcriber, in order; they end after finalization or fail.
class SpeechResultSequence {
  public:
    virtual ~SpeechResultSequence() = default;
    // The next result, nothing at the end; throws the sequence's failure.
    virtual asio::awaitable<std::optional<SpeechResult>> next() = 0;
};

// The speech-recognition module for one locale.
class SpeechTranscriber {
  public:
    virtual ~SpeechTranscriber() = default;
    virtual const Locale& locale() const = 0;
    virtual std::shared_ptr<SpeechResultSequence> results() = 0;
};

using SpeechModules = std::vector<std::shared_ptr<SpeechTranscriber>>;

// Fraction completed of an installation, readable from any thread.
class InstallationProgress {
  public:
    virtual ~InstallationProgress() = default;
    virtual double fractionCompleted() const = 0;
};

class AssetInstallationRequest {
  public:
    virtual ~AssetInstallationRequest() = default;
    virtual std::shared_ptr<const InstallationProgress> progress() const = 0;
    // Completes once the model is installed; throws SpeechError.
    virtual asio::awaitable<void> downloadAndInstall() = 0;
};

// One item of analyzer input: a converted buffer, continuing where the previous one ended.
struct AnalyzerInput {
    std::shared_ptr<const PcmBuffer> buffer;
};

// The analyzer's input: unbounded, one producer thread, one consumer.
class AnalyzerInputStream {
  public:
    void append(AnalyzerInput input);
    void finish();
    // Blocks until an item arrives; nothing once the stream has finished and is empty.
    std::optional<AnalyzerInput> next();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<AnalyzerInput> items_;
    bool finished_ = false;
};

struct AnalysisContext {
    // Terms to bias recognition toward, by tag ("general").
    std::map<std::string, std::vector<std::string>> contextualStrings;
};

class SpeechAnalyzer {
  public:
    virtual ~SpeechAnalyzer() = default;
    // Throws SpeechError when the analyzer refuses the context.
    virtual void setContext(const AnalysisContext& context) = 0;
    // Starts analysis and returns; throws SpeechError.
    virtual void start(std::shared_ptr<AnalyzerInputStream> inputSequence) = 0;
    // Blocks until all audio given is finalized and the results have ended; throws
    // SpeechError. Callable from any thread.
    virtual void finalizeAndFinishThroughEndOfInput() = 0;
};

// The on-device speech recognizer.
class Speech {
  public:
    virtual ~Speech() = default;
    virtual bool isAvailable() = 0;
    virtual std::optional<Locale> supportedLocaleEquivalentTo(const Locale& locale) = 0;
    virtual std::vector<Locale> supportedLocales() = 0;
    virtual std::vector<Locale> installedLocales() = 0;
    virtual std::shared_ptr<SpeechTranscriber> makeTranscriber(const Locale& locale,
                                                               TranscriberOptions options) = 0;
    virtual AssetStatus assetStatus(const SpeechModules& modules) = 0;
    // Null when nothing has to be installed; throws SpeechError.
    virtual std::shared_ptr<AssetInstallationRequest> assetInstallationRequest(
        const SpeechModules& modules) = 0;
    virtual std::optional<AudioFormat> bestAvailableAudioFormat(const SpeechModules& modules) = 0;
    virtual std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const SpeechModules& modules) = 0;
};

}  // namespace norvi::engine
