#include "apple-engine/output.h"

#include <unistd.h>
#include <cerrno>
#include <cstdlib>

#include "support/fd_write.h"
#include "support/json_writer.h"

namespace norvi::engine {
namespace {

void encodeMembers(JsonWriter& writer, const ReadyEvent& event) {
    writer.member("speechLocale", event.speechLocale).member("translation", event.translation);
}

void encodeMembers(JsonWriter& writer, const LineEvent& event) {
    writer.member("endMs", event.endMs)
        .member("id", event.id)
        .member("isFinal", event.isFinal)
        .member("startMs", event.startMs)
        .member("text", event.text)
        .member("translation", event.translation);
}

void encodeMembers(JsonWriter& writer, const ModelDownloadEvent& event) {
    writer.member("fraction", event.fraction);
}

void encodeMembers(JsonWriter& writer, const TranslationEvent& event) {
    writer.member("translation", event.translation);
}

void encodeMembers(JsonWriter& writer, const CapabilitiesEvent& event) {
    writer.member("installedSpeechLanguages", event.installedSpeechLanguages)
        .member("speechLanguages", event.speechLanguages)
        .member("translationLanguages", event.translationLanguages);
}

void encodeMembers(JsonWriter& writer, const ErrorEvent& event) {
    writer.member("message", event.message);
}

}  // namespace

std::string encodeRecord(const OutputRecord& record) {
    JsonWriter writer({.pretty = false, .escapeSlash = false});
    writer.beginObject();
    std::visit(
        [&](const auto& event) {
            encodeMembers(writer, event);
            // "type" sorts after every other key of every record.
            writer.member("type", event.type);
        },
        record);
    writer.endObject();
    return writer.take();
}

std::mutex& outputLock() {
    // Never destroyed: threads still running at exit may write a record.
    static std::mutex* lock = new std::mutex;
    return *lock;
}

namespace {

// Guarded by outputLock; never destroyed, like the lock.
std::optional<std::string>& failedOutput() {
    static auto* failure = new std::optional<std::string>;
    return *failure;
}

// The failure handler and its lock, never destroyed either.
std::mutex& handlerLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::function<void()>& failureHandler() {
    static auto* handler = new std::function<void()>;
    return *handler;
}

}  // namespace

void writeJSONLine(const OutputRecord& record) {
    std::string line;
    try {
        line = encodeRecord(record);
    } catch (const JsonEncodingError&) {
        return;
    }
    {
        std::lock_guard hold(outputLock());
        if (failedOutput()) {
            return;
        }
        if (writeAll(STDOUT_FILENO, line) && writeAll(STDOUT_FILENO, "\n")) {
            return;
        }
        failedOutput() = standardOutputWriteFailure(errno);
    }
    std::lock_guard hold(handlerLock());
    if (failureHandler()) {
        failureHandler()();
    }
}

std::optional<std::string> outputFailure() {
    std::lock_guard hold(outputLock());
    return failedOutput();
}

void setOutputFailureHandler(std::function<void()> handler) {
    std::lock_guard hold(handlerLock());
    failureHandler() = std::move(handler);
}

void writeStderr(std::string_view text) {
    writeAll(STDERR_FILENO, text);
}

bool debugEnabled() {
    static const bool enabled = [] {
        const char* value = std::getenv("NORVI_APPLE_ENGINE_DEBUG");
        return value != nullptr && std::string_view(value) == "1";
    }();
    return enabled;
}

void logDebug(std::string_view message) {
    if (debugEnabled()) {
        writeStderr("norvi-apple-engine: " + std::string(message) + "\n");
    }
}

}  // namespace norvi::engine
