#include "audio-helper/core/pcm_json_line_writer.h"

#include <fcntl.h>
#include <unistd.h>
#include <cmath>
#include <cstring>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "audio-helper/core/audio_format_description.h"
#include "audio-helper/core/platform/core_media_simulated.h"
#include "support/number_text.h"
#include "tests/support/base64_decode.h"
#include "tests/support/process_runner.h"

namespace norvi::helper {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using testing::decodeBase64;

constexpr float infinity = std::numeric_limits<float>::infinity();

AudioStreamBasicDescription format(double rate, std::uint32_t channels, std::uint32_t bits,
                                   std::uint32_t flags,
                                   std::uint32_t formatID = kAudioFormatLinearPCM) {
    const std::uint32_t bytesPerFrame =
        (flags & kAudioFormatFlagIsNonInterleaved) ? bits / 8 : bits / 8 * channels;
    return {rate, formatID, flags, bytesPerFrame, 1, bytesPerFrame, channels, bits, 0};
}

const AudioStreamBasicDescription stereoFloat48k = format(48000, 2, 32, 9);

// A writer whose records go to a file, with its standard-error lines captured.
class WriterTest : public ::testing::Test {
  protected:
    WriterTest()
        : outputPath_(directory_.path() + "/records"),
          fd_(::open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)),
          writer_(std::make_unique<PcmJsonLineWriter>("tap-stream", fd_)) {
        ::testing::internal::CaptureStderr();
    }
    ~WriterTest() override {
        writer_.reset();
        ::close(fd_);
        if (!stderrTaken_)
            ::testing::internal::GetCapturedStderr();
    }

    std::vector<std::string> lines() {
        writer_->flush();
        return testing::splitLines(testing::readFile(outputPath_));
    }
    std::vector<nlohmann::json> chunks() {
        std::vector<nlohmann::json> found;
        for (const std::string& line : lines()) {
            nlohmann::json record = nlohmann::json::parse(line);
            if (record["type"] == "pcm_s16le")
                found.push_back(record);
        }
        return found;
    }
    std::vector<std::int16_t> samples() {
        std::vector<std::int16_t> all;
        for (const nlohmann::json& chunk : chunks()) {
            const std::vector<std::uint8_t> bytes = decodeBase64(chunk["data"].get<std::string>());
            for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
                all.push_back(static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8)));
            }
        }
        return all;
    }
    std::string takeStderr() {
        writer_->flush();
        stderrTaken_ = true;
        return ::testing::internal::GetCapturedStderr();
    }
    void recordInterleaved(const std::vector<float>& frames,
                           const AudioStreamBasicDescription& description) {
        AudioBufferListStorage storage = AudioBufferListStorage::allocate(1);
        AudioBuffer& buffer = audioBuffers(*storage.list())[0];
        buffer.mNumberChannels = description.mChannelsPerFrame;
        buffer.mDataByteSize = static_cast<std::uint32_t>(frames.size() * sizeof(float));
        buffer.mData = const_cast<float*>(frames.data());
        writer_->recordBufferList(storage.list(), description);
    }

    testing::TemporaryDirectory directory_;
    std::string outputPath_;
    int fd_;
    std::unique_ptr<PcmJsonLineWriter> writer_;
    bool stderrTaken_ = false;
};

TEST_F(WriterTest, ShapesAndConvertsEachSampleAtTheOutputRate) {
    struct Case {
        float input;
        std::int16_t expected;
    };
    // Interpolating next to a value that is not finite gives not-a-number even at a fraction
    // of 0, so the values that are not finite come last, after one that also gives 32111.
    const std::vector<Case> cases = {
        {0.5f, 16055},    {0.9f, 28900},     {1.0f, 30930},          {-1.0f, -30930},
        {-10.0f, -32111}, {0.0f, 0},         {-0.5f, -16055},        {2.0f, 32111},
        {10.0f, 32111},   {infinity, 32111}, {std::nanf(""), 32111},
    };
    std::vector<float> input;
    for (std::size_t i = 0; i < 1601; ++i)
        input.push_back(cases[i % cases.size()].input);
    writer_->recordMonoSamples(input, 16000);

    const std::vector<std::int16_t> output = samples();
    ASSERT_EQ(output.size(), 1600u);
    for (std::size_t i = 0; i < output.size(); ++i) {
        ASSERT_EQ(output[i], cases[i % cases.size()].expected)
            << "input " << cases[i % cases.size()].input;
    }
}

TEST_F(WriterTest, FirstChunkNeedsTheSampleAfterItsLastPosition) {
    const std::vector<float> silence(1600, 0.0f);
    writer_->recordMonoSamples(silence, 16000);
    EXPECT_TRUE(lines().empty());

    writer_->recordMonoSamples(std::vector<float>(1, 0.0f), 16000);
    writer_->recordMonoSamples(std::vector<float>(1600, 0.0f), 16000);
    const std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 2u);
    const std::string zeros(4268 - 4, 'A');
    EXPECT_EQ(written[0], "{\"channels\":1,\"data\":\"" + zeros +
                              "AAA=\",\"frames\":1600,\"peak\":0,\"rms\":0,"
                              "\"sampleRate\":16000,\"type\":\"pcm_s16le\"}");
    // The first-chunk line is written once in a writer's life.
    EXPECT_EQ(takeStderr(), "tap-stream: emitted first PCM chunk frames=1600 peak=0.0 rms=0.0\n");
}

TEST_F(WriterTest, PeakAndRmsDescribeTheChunk) {
    // Half the chunk at 0.5 (16055), half at -0.5 (-16055).
    std::vector<float> input(1601, 0.5f);
    std::fill(input.begin() + 800, input.end(), -0.5f);
    writer_->recordMonoSamples(input, 16000);
    const std::vector<nlohmann::json> found = chunks();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_DOUBLE_EQ(found[0]["peak"].get<double>(), 16055 / 32767.0);
    EXPECT_NEAR(found[0]["rms"].get<double>(), 16055 / 32767.0, 1e-12);
    EXPECT_THAT(takeStderr(), ::testing::StartsWith(
                                  "tap-stream: emitted first PCM chunk frames=1600 peak=0.4899"));
}

TEST_F(WriterTest, OutputDoesNotDependOnHowTheInputIsCutInto48kHzBlocks) {
    std::vector<float> input(48000 + 7);
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<float>(0.8 * std::sin(i * 0.0123));

    writer_->recordMonoSamples(input, 48000);
    const std::vector<std::string> whole = lines();

    PcmJsonLineWriter blocks("tap-stream", fd_);
    const auto mark = ::lseek(fd_, 0, SEEK_CUR);
    for (std::size_t start = 0; start < input.size(); start += 480) {
        const std::size_t size = std::min<std::size_t>(480, input.size() - start);
        blocks.recordMonoSamples(std::span<const float>(input).subspan(start, size), 48000);
    }
    blocks.flush();
    const std::string all = testing::readFile(outputPath_);
    const std::vector<std::string> blockLines =
        testing::splitLines(all.substr(static_cast<std::size_t>(mark)));

    ASSERT_EQ(whole.size(), 10u);
    EXPECT_EQ(blockLines, whole);
}

// A fractional step (44.1 kHz) fed in uneven blocks gives the samples of stepping once through
// the whole input: a + (b - a) * f at every position n * 44100 / 16000 (inputs below 0.9 are
// only scaled by 0.98 on the way to 16 bits).
TEST_F(WriterTest, FractionalStepsInterpolateAcrossBlockBoundaries) {
    std::vector<float> input(44100 / 5 + 3);
    for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<float>(0.7 * std::sin(i * 0.031));
    }
    for (std::size_t start = 0, size = 1; start < input.size();
         start += size, size = size % 700 + 97) {
        size = std::min(size, input.size() - start);
        writer_->recordMonoSamples(std::span<const float>(input).subspan(start, size), 44100);
    }
    const std::vector<std::int16_t> output = samples();
    ASSERT_EQ(output.size(), 3200u);
    const double step = 44100.0 / 16000.0;
    double position = 0;
    for (std::size_t n = 0; n < output.size(); ++n, position += step) {
        const auto i = static_cast<std::size_t>(position);
        const float f = static_cast<float>(position - static_cast<double>(i));
        const float x = input[i] + (input[i + 1] - input[i]) * f;
        ASSERT_EQ(output[n], static_cast<std::int16_t>(x * 0.98f * 32767.0f)) << "output " << n;
    }
}

TEST_F(WriterTest, FortyEightKilohertzBlocksGiveOneChunkEveryTenBlocks) {
    const std::vector<float> block(480, 0.25f);
    for (int i = 0; i < 9; ++i)
        writer_->recordMonoSamples(block, 48000);
    EXPECT_EQ(chunks().size(), 0u);
    writer_->recordMonoSamples(block, 48000);
    EXPECT_EQ(chunks().size(), 1u);
    for (int i = 0; i < 10; ++i)
        writer_->recordMonoSamples(block, 48000);
    EXPECT_EQ(chunks().size(), 2u);
    // Only the samples around the next position stay buffered.
    EXPECT_LE(writer_->bufferedInputSamples(), 3u);
}

TEST_F(WriterTest, RateChangeDropsThePartialChunk) {
    writer_->recordMonoSamples(std::vector<float>(1000, 0.5f), 16000);
    writer_->recordMonoSamples(std::vector<float>(4801, -0.5f), 48000);
    EXPECT_THAT(samples(), Each(-16055));
    EXPECT_EQ(samples().size(), 1600u);
}

TEST_F(WriterTest, UnusableRatesGiveNothingAndBufferNothing) {
    for (const double rate :
         {0.0, -16000.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e300, 0.5, 1e-300}) {
        for (int i = 0; i < 50; ++i)
            writer_->recordMonoSamples(std::vector<float>(4800, 0.5f), rate);
        EXPECT_LE(writer_->bufferedInputSamples(), 1u) << "rate " << rate;
    }
    EXPECT_TRUE(lines().empty());
    // A usable rate afterwards converts normally.
    writer_->recordMonoSamples(std::vector<float>(1601, 0.5f), 16000);
    EXPECT_EQ(chunks().size(), 1u);
}

TEST_F(WriterTest, BufferListsOfBothSupportedLayoutsAreMixedToMono) {
    // Interleaved stereo float: (0.25 + 0.75) / 2 = 0.5 at 16 kHz.
    std::vector<float> interleaved;
    for (int i = 0; i < 1601; ++i) {
        interleaved.push_back(0.25f);
        interleaved.push_back(0.75f);
    }
    recordInterleaved(interleaved, format(16000, 2, 32, 9));
    EXPECT_THAT(samples(), Each(16055));

    // Non-interleaved 16-bit integer, two buffers: (16384 + 16384) / 2 / 32767 ~ 0.5.
    std::vector<std::int16_t> plane(1601, 16384);
    AudioBufferListStorage storage = AudioBufferListStorage::allocate(2);
    for (AudioBuffer& buffer : audioBuffers(*storage.list())) {
        buffer = {1, static_cast<std::uint32_t>(plane.size() * 2), plane.data()};
    }
    writer_->recordBufferList(storage.list(),
                              format(16000, 2, 16, kAudioFormatFlagIsSignedInteger | 0x20));
    const std::vector<std::int16_t> all = samples();
    ASSERT_EQ(all.size(), 3200u);
    // The second chunk starts with the last sample of the first list, then the new samples.
    EXPECT_EQ(all[1600], 16055);
    EXPECT_EQ(all[1601], static_cast<std::int16_t>(16384 / 32767.0f * 0.98f * 32767.0f));
    EXPECT_EQ(all.back(), all[1601]);
}

TEST_F(WriterTest, UnsupportedFormatsAreReportedOnceThenDropped) {
    const std::vector<AudioStreamBasicDescription> unsupported = {
        format(48000, 1, 32, kAudioFormatFlagIsSignedInteger),
        format(48000, 1, 24, kAudioFormatFlagIsSignedInteger),
        format(48000, 1, 64, kAudioFormatFlagIsFloat),
        format(48000, 1, 32, kAudioFormatFlagIsFloat, fourCharCode("aac ")),
    };
    const std::vector<float> frames(4801, 0.5f);
    for (const AudioStreamBasicDescription& description : unsupported)
        recordInterleaved(frames, description);
    // Buffers without data are reported the same way (and here, no more).
    AudioBufferListStorage empty = AudioBufferListStorage::allocate(2);
    writer_->recordBufferList(empty.list(), stereoFloat48k);
    // A buffer list without any format is dropped without a word.
    writer_->recordBufferList(empty.list(), std::nullopt);
    EXPECT_TRUE(lines().empty());

    recordInterleaved(std::vector<float>(2 * 4803, 0.5f), stereoFloat48k);
    EXPECT_EQ(chunks().size(), 1u);
    EXPECT_THAT(takeStderr(),
                ::testing::StartsWith("tap-stream: unsupported or empty PCM buffer format=" +
                                      describeAudioFormat(unsupported[0]) +
                                      "\ntap-stream: emitted first PCM chunk frames=1600 peak=" +
                                      doubleDescription(16055 / 32767.0) + " rms=0.4899"));
}

TEST_F(WriterTest, EmptyBufferListIsReportedAsUnsupportedOrEmpty) {
    AudioBufferListStorage empty = AudioBufferListStorage::allocate(1);
    writer_->recordBufferList(empty.list(), stereoFloat48k);
    EXPECT_EQ(
        takeStderr(),
        "tap-stream: unsupported or empty PCM buffer format=formatID=lpcm sampleRate=48000.0 "
        "channels=2 bits=32 bytesPerFrame=8 bytesPerPacket=8 framesPerPacket=1 formatFlags=9\n");
}

TEST_F(WriterTest, SampleBuffersAreReadThroughTheirBufferList) {
    const AudioStreamBasicDescription planar = format(48000, 2, 32, 41);
    auto good = SimulatedSampleBuffer::withFloatPlanes(
        planar, {std::vector<float>(4803, 0.25f), std::vector<float>(4803, 0.75f)}, 1);
    writer_->recordSampleBuffer(*good);
    EXPECT_THAT(samples(), Each(16055));

    SimulatedSampleBuffer noFormat;
    SimulatedSampleBuffer noStreamDescription;
    noStreamDescription.description = CMAudioFormatDescription{};
    for (int i = 0; i < 2; ++i) {
        auto failing =
            SimulatedSampleBuffer::withFloatPlanes(planar, {std::vector<float>(480, 0.5f)}, 1);
        failing->bufferListStatus = -12737;
        writer_->recordSampleBuffer(noFormat);
        writer_->recordSampleBuffer(noStreamDescription);
        writer_->recordSampleBuffer(*failing);
    }
    EXPECT_EQ(SimulatedSampleBuffer::liveBlockBuffers(), 0);
    const std::string errors = takeStderr();
    EXPECT_THAT(
        errors,
        ::testing::EndsWith(
            "tap-stream: audio sample buffer was missing a linear PCM format description\n"
            "tap-stream: failed to extract audio buffer list status=-12737 format=formatID=lpcm "
            "sampleRate=48000.0 channels=2 bits=32 bytesPerFrame=4 bytesPerPacket=4 "
            "framesPerPacket=1 formatFlags=41\n"));
}

TEST_F(WriterTest, StreamRecordsKeepTheirOrderAndTheEndedRecordIsLast) {
    writer_->writeStarted(stereoFloat48k);
    writer_->writeDiagnostic("sck_picker_presented");
    writer_->writeDiagnostic("microphone_selected",
                             PcmJsonLineWriter::Details{{"name", "USB/Mic"}});
    for (int i = 0; i < 31; ++i)
        writer_->recordMonoSamples(std::vector<float>(480, 0.0f), 48000);
    writer_->writeEnded();
    writer_->flush();
    const std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 7u);
    EXPECT_EQ(
        written[0],
        "{\"command\":\"tap-stream\",\"inputFormat\":{\"bitsPerChannel\":32,\"bytesPerFrame\":8,"
        "\"bytesPerPacket\":8,\"channelsPerFrame\":2,\"formatFlags\":9,\"formatID\":\"lpcm\","
        "\"framesPerPacket\":1,\"sampleRate\":48000},\"outputChannels\":1,\"outputSampleRate\":"
        "16000,"
        "\"type\":\"stream_started\"}");
    EXPECT_EQ(written[1], "{\"name\":\"sck_picker_presented\",\"type\":\"stream_diagnostic\"}");
    EXPECT_EQ(written[2],
              "{\"details\":{\"name\":\"USB\\/"
              "Mic\"},\"name\":\"microphone_selected\",\"type\":\"stream_diagnostic\"}");
    EXPECT_EQ(written.back(), "{\"command\":\"tap-stream\",\"type\":\"stream_ended\"}");
}

TEST_F(WriterTest, StartedRecordWithoutFormatOrWithAnUnencodableOne) {
    writer_->writeStarted(std::nullopt);
    writer_->writeStarted(format(std::numeric_limits<double>::infinity(), 2, 32, 9));
    writer_->writeEnded();
    EXPECT_THAT(
        lines(),
        ElementsAre("{\"command\":\"tap-stream\",\"outputChannels\":1,\"outputSampleRate\":16000,"
                    "\"type\":\"stream_started\"}",
                    "{\"command\":\"tap-stream\",\"type\":\"stream_ended\"}"));
    EXPECT_THAT(takeStderr(), ::testing::StartsWith("Failed to encode PCM stream event: "));
}

}  // namespace
}  // namespace norvi::helper
