#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio-helper/core/platform/core_audio_types.h"
#include "support/json_writer.h"

// Every record the helper writes to standard output. Keys are written in alphabetical order,
// optional members are left out, "/" is escaped.

namespace norvi::helper {

struct AudioFormatSummary {
    std::uint32_t bitsPerChannel = 0;
    std::uint32_t bytesPerFrame = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t channelsPerFrame = 0;
    std::uint32_t formatFlags = 0;
    std::string formatID{};
    std::uint32_t framesPerPacket = 0;
    double sampleRate = 0;

    static AudioFormatSummary from(const AudioStreamBasicDescription& format);
};

struct PcmStreamStartedEvent {
    std::string command{};
    std::optional<AudioFormatSummary> inputFormat{};
    int outputChannels = 1;
    int outputSampleRate = 16000;
};

struct PcmStreamChunkEvent {
    int channels = 1;
    // Base64 of the chunk's signed 16-bit little-endian samples.
    std::string data{};
    int frames = 0;
    double peak = 0;
    double rms = 0;
    int sampleRate = 16000;
};

struct PcmStreamEndedEvent {
    std::string command{};
};

struct StreamDiagnosticEvent {
    // Name-specific facts, written in the order given.
    std::optional<std::vector<std::pair<std::string, std::string>>> details{};
    std::string name{};
};

struct TapAccessResult {
    bool granted = false;
    std::optional<std::string> message{};
    bool requested = true;
};

struct ScreenCaptureAccessResult {
    bool granted = false;
    bool requested = false;
    std::string status{};
};

struct MicrophoneAppsEvent {
    std::vector<std::string> bundleIds{};
};

void writeRecord(JsonWriter& writer, const AudioFormatSummary& record);
void writeRecord(JsonWriter& writer, const PcmStreamStartedEvent& record);
void writeRecord(JsonWriter& writer, const PcmStreamChunkEvent& record);
void writeRecord(JsonWriter& writer, const PcmStreamEndedEvent& record);
void writeRecord(JsonWriter& writer, const StreamDiagnosticEvent& record);
void writeRecord(JsonWriter& writer, const TapAccessResult& record);
void writeRecord(JsonWriter& writer, const ScreenCaptureAccessResult& record);
void writeRecord(JsonWriter& writer, const MicrophoneAppsEvent& record);

inline constexpr JsonStyle compactStyle{.pretty = false, .escapeSlash = true};
inline constexpr JsonStyle prettyStyle{.pretty = true, .escapeSlash = true};

// The one-line encoding of a record, without the line feed; throws JsonEncodingError.
template <typename Record>
std::string encodeCompact(const Record& record) {
    JsonWriter writer(compactStyle);
    writeRecord(writer, record);
    return writer.take();
}

// The pretty encoding, without the final line feed; throws JsonEncodingError.
template <typename Record>
std::string encodePretty(const Record& record) {
    JsonWriter writer(prettyStyle);
    writeRecord(writer, record);
    return writer.take();
}

// Writes the bytes to standard output, then one line feed as a second write; throws
// HelperError when standard output refuses them (its reader has gone away).
void writeStdoutLine(std::string_view encoded);

// Writes a result record pretty-printed to standard output; throws JsonEncodingError, or
// HelperError when standard output refuses it.
template <typename Record>
void printJSON(const Record& record) {
    writeStdoutLine(encodePretty(record));
}

}  // namespace norvi::helper
