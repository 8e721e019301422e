#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace norvi::engine {

struct ReadyEvent {
    static constexpr std::string_view type = "ready";
    std::string speechLocale{};
    bool translation = false;
};

struct LineEvent {
    static constexpr std::string_view type = "line";
    std::int64_t id = 0;
    bool isFinal = false;
    std::string text{};
    std::optional<std::string> translation{};
    std::optional<std::int64_t> startMs{};
    std::optional<std::int64_t> endMs{};

    bool operator==(const LineEvent&) const = default;
};

struct ModelDownloadEvent {
    static constexpr std::string_view type = "model_download";
    double fraction = 0;
};

struct TranslationEvent {
    static constexpr std::string_view type = "translation";
    std::string translation{};
};

struct CapabilitiesEvent {
    static constexpr std::string_view type = "capabilities";
    std::vector<std::string> installedSpeechLanguages{};
    std::vector<std::string> speechLanguages{};
    std::vector<std::string> translationLanguages{};
};

struct ErrorEvent {
    static constexpr std::string_view type = "error";
    std::string message{};
};

using OutputRecord = std::variant<ReadyEvent, LineEvent, ModelDownloadEvent, TranslationEvent,
                                  CapabilitiesEvent, ErrorEvent>;

// Where a component writes its records; writeJSONLine in the program, a list in unit tests.
using RecordWriter = std::function<void(const OutputRecord&)>;

// One compact JSON object, keys sorted, "/" unescaped, no line feed. Throws
// JsonEncodingError for a non-finite fraction.
std::string encodeRecord(const OutputRecord& record);

// Guards standard output for the life of the process.
std::mutex& outputLock();

// Writes the record and a line feed straight to standard output under outputLock. A record
// that cannot be encoded is dropped silently. Once a write has failed (the reader has gone
// away) nothing more is written. Callable from any thread.
void writeJSONLine(const OutputRecord& record);

// The message of the first failed write to standard output, if one has failed.
std::optional<std::string> outputFailure();

// Called once, on the writing thread, when a write to standard output first fails; an empty
// function removes the handler.
void setOutputFailureHandler(std::function<void()> handler);

// The text's bytes to standard error in one write, nothing added, no lock.
void writeStderr(std::string_view text);

// True exactly when NORVI_APPLE_ENGINE_DEBUG is "1"; read once.
bool debugEnabled();

// "norvi-apple-engine: " + message + line feed on standard error, only when debugEnabled().
void logDebug(std::string_view message);

}  // namespace norvi::engine
