#include "audio-helper/core/output_records.h"

#include <unistd.h>
#include <cerrno>

#include "audio-helper/core/audio_format_description.h"
#include "audio-helper/core/helper_error.h"
#include "support/fd_write.h"

namespace norvi::helper {

AudioFormatSummary AudioFormatSummary::from(const AudioStreamBasicDescription& format) {
    return {
        .bitsPerChannel = format.mBitsPerChannel,
        .bytesPerFrame = format.mBytesPerFrame,
        .bytesPerPacket = format.mBytesPerPacket,
        .channelsPerFrame = format.mChannelsPerFrame,
        .formatFlags = format.mFormatFlags,
        .formatID = fourCC(format.mFormatID),
        .framesPerPacket = format.mFramesPerPacket,
        .sampleRate = format.mSampleRate,
    };
}

void writeRecord(JsonWriter& writer, const AudioFormatSummary& record) {
    writer.beginObject()
        .member("bitsPerChannel", record.bitsPerChannel)
        .member("bytesPerFrame", record.bytesPerFrame)
        .member("bytesPerPacket", record.bytesPerPacket)
        .member("channelsPerFrame", record.channelsPerFrame)
        .member("formatFlags", record.formatFlags)
        .member("formatID", record.formatID)
        .member("framesPerPacket", record.framesPerPacket)
        .member("sampleRate", record.sampleRate)
        .endObject();
}

void writeRecord(JsonWriter& writer, const PcmStreamStartedEvent& record) {
    writer.beginObject().member("command", record.command);
    if (record.inputFormat) {
        writer.key("inputFormat");
        writeRecord(writer, *record.inputFormat);
    }
    writer.member("outputChannels", record.outputChannels)
        .member("outputSampleRate", record.outputSampleRate)
        .member("type", "stream_started")
        .endObject();
}

void writeRecord(JsonWriter& writer, const PcmStreamChunkEvent& record) {
    writer.beginObject()
        .member("channels", record.channels)
        .member("data", record.data)
        .member("frames", record.frames)
        .member("peak", record.peak)
        .member("rms", record.rms)
        .member("sampleRate", record.sampleRate)
        .member("type", "pcm_s16le")
        .endObject();
}

void writeRecord(JsonWriter& writer, const PcmStreamEndedEvent& record) {
    writer.beginObject().member("command", record.command).member("type", "stream_ended").endObject();
}

void writeRecord(JsonWriter& writer, const StreamDiagnosticEvent& record) {
    writer.beginObject();
    if (record.details) {
        writer.key("details").beginObject();
        for (const auto& [key, value] : *record.details) {
            writer.member(key, value);
        }
        writer.endObject();
    }
    writer.member("name", record.name).member("type", "stream_diagnostic").endObject();
}

void writeRecord(JsonWriter& writer, const TapAccessResult& record) {
    writer.beginObject()
        .member("granted", record.granted)
        .member("message", record.message)
        .member("requested", record.requested)
        .member("type", "tap_access")
        .endObject();
}

void writeRecord(JsonWriter& writer, const ScreenCaptureAccessResult& record) {
    writer.beginObject()
        .member("granted", record.granted)
        .member("requested", record.requested)
        .member("status", record.status)
        .member("type", "screen_access")
        .endObject();
}

void writeRecord(JsonWriter& writer, const MicrophoneAppsEvent& record) {
    writer.beginObject().member("bundleIds", record.bundleIds).member("type", "mic-apps").endObject();
}

void writeStdoutLine(std::string_view encoded) {
    if (!writeAll(STDOUT_FILENO, encoded) || !writeAll(STDOUT_FILENO, "\n")) {
        throw HelperError(standardOutputWriteFailure(errno));
    }
}

}  // namespace norvi::helper
