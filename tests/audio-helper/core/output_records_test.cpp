#include "audio-helper/core/output_records.h"

#include <limits>

#include <gtest/gtest.h>

namespace norvi::helper {
namespace {

AudioStreamBasicDescription stereoFloat48k() {
    return {.mSampleRate = 48000,
            .mFormatID = kAudioFormatLinearPCM,
            .mFormatFlags = 9,
            .mBytesPerPacket = 8,
            .mFramesPerPacket = 1,
            .mBytesPerFrame = 8,
            .mChannelsPerFrame = 2,
            .mBitsPerChannel = 32};
}

TEST(OutputRecords, StreamRecordsMatchTheProtocolBytes) {
    EXPECT_EQ(encodeCompact(PcmStreamStartedEvent{
                  .command = "tap-stream", .inputFormat = AudioFormatSummary::from(stereoFloat48k())}),
              R"({"command":"tap-stream","inputFormat":{"bitsPerChannel":32,"bytesPerFrame":8,)"
              R"("bytesPerPacket":8,"channelsPerFrame":2,"formatFlags":9,"formatID":"lpcm",)"
              R"("framesPerPacket":1,"sampleRate":48000},"outputChannels":1,"outputSampleRate":16000,)"
              R"("type":"stream_started"})");
    EXPECT_EQ(encodeCompact(PcmStreamStartedEvent{.command = "sck-stream"}),
              R"({"command":"sck-stream","outputChannels":1,"outputSampleRate":16000,"type":"stream_started"})");
    EXPECT_EQ(encodeCompact(PcmStreamEndedEvent{.command = "tap-stream"}),
              R"({"command":"tap-stream","type":"stream_ended"})");
    EXPECT_EQ(encodeCompact(PcmStreamChunkEvent{.data = "AA/+", .frames = 1600, .peak = 0, .rms = 0}),
              R"({"channels":1,"data":"AA\/+","frames":1600,"peak":0,"rms":0,"sampleRate":16000,"type":"pcm_s16le"})");
    EXPECT_EQ(encodeCompact(StreamDiagnosticEvent{.name = "sck_picker_presented"}),
              R"({"name":"sck_picker_presented","type":"stream_diagnostic"})");
    EXPECT_EQ(encodeCompact(StreamDiagnosticEvent{
                  .details = {{{"sampleRate", "48000.0"}, {"streams", "a | b"}}},
                  .name = "microphone_mix_format"}),
              R"({"details":{"sampleRate":"48000.0","streams":"a | b"},"name":"microphone_mix_format","type":"stream_diagnostic"})");
    EXPECT_EQ(encodeCompact(MicrophoneAppsEvent{.bundleIds = {"com.apple/x", "us.zoom"}}),
              R"({"bundleIds":["com.apple\/x","us.zoom"],"type":"mic-apps"})");
    EXPECT_EQ(encodeCompact(MicrophoneAppsEvent{}), R"({"bundleIds":[],"type":"mic-apps"})");
}

TEST(OutputRecords, ResultRecordsArePrettyPrinted) {
    EXPECT_EQ(encodePretty(ScreenCaptureAccessResult{.granted = true, .requested = false, .status = "granted"}),
              "{\n  \"granted\" : true,\n  \"requested\" : false,\n  \"status\" : \"granted\",\n"
              "  \"type\" : \"screen_access\"\n}");
    EXPECT_EQ(encodePretty(TapAccessResult{.granted = true}),
              "{\n  \"granted\" : true,\n  \"requested\" : true,\n  \"type\" : \"tap_access\"\n}");
    EXPECT_EQ(encodePretty(TapAccessResult{.granted = false, .message = "Tap failed: a/b"}),
              "{\n  \"granted\" : false,\n  \"message\" : \"Tap failed: a\\/b\",\n"
              "  \"requested\" : true,\n  \"type\" : \"tap_access\"\n}");
}

TEST(OutputRecords, NonFiniteNumbersCannotBeEncoded) {
    AudioStreamBasicDescription format = stereoFloat48k();
    format.mSampleRate = std::numeric_limits<double>::infinity();
    EXPECT_THROW(encodeCompact(PcmStreamStartedEvent{.command = "tap-stream",
                                                     .inputFormat = AudioFormatSummary::from(format)}),
                 JsonEncodingError);
    EXPECT_THROW(encodeCompact(PcmStreamChunkEvent{.peak = std::numeric_limits<double>::quiet_NaN()}),
                 JsonEncodingError);
}

}  // namespace
}  // namespace norvi::helper
