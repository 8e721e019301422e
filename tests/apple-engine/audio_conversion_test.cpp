#include "apple-engine/platform/audio_conversion_simulated.h"

#include <gtest/gtest.h>

namespace norvi::engine {
namespace {

const AudioFormat input{CommonFormat::pcmFormatInt16, 16000, 1, true};

std::shared_ptr<PcmBuffer> int16Block(const std::vector<std::int16_t>& samples) {
    auto buffer = std::make_shared<PcmBuffer>(input, static_cast<std::uint32_t>(samples.size()));
    buffer->setFrameLength(static_cast<std::uint32_t>(samples.size()));
    std::copy(samples.begin(), samples.end(), buffer->int16ChannelData());
    return buffer;
}

// One block in, then noDataNow, as the reader converts.
PcmBuffer convertOnce(AudioConverter& converter, const AudioFormat& target,
                      std::shared_ptr<const PcmBuffer> block, std::uint32_t capacity) {
    PcmBuffer output(target, capacity);
    int requests = 0;
    const auto error = converter.convert(output, [&](std::shared_ptr<const PcmBuffer>& next) {
        if (requests++ > 0)
            return ConverterInputStatus::noDataNow;
        next = block;
        return ConverterInputStatus::haveData;
    });
    EXPECT_FALSE(error);
    return output;
}

TEST(SimulatedConverter, SameRateKeepsEverySampleExactly) {
    auto conversion = makeSimulatedAudioConversion();
    auto converter = conversion->makeConverter(input, input);
    ASSERT_TRUE(converter);
    const std::vector<std::int16_t> samples{0, 1, -1, 32767, -32768, 1234};
    PcmBuffer output = convertOnce(*converter, input, int16Block(samples), 22);
    ASSERT_EQ(output.frameLength(), samples.size());
    EXPECT_EQ(std::vector<std::int16_t>(output.int16ChannelData(), output.int16ChannelData() + 6),
              samples);
}

TEST(SimulatedConverter, UpsamplesByInterpolationAndHoldsBackTheLastFrames) {
    const AudioFormat target{CommonFormat::pcmFormatFloat32, 48000, 2, false};
    auto converter = makeSimulatedAudioConversion()->makeConverter(input, target);
    ASSERT_TRUE(converter);
    // A ramp: each output frame lies a third of the way between its neighbours.
    PcmBuffer first = convertOnce(*converter, target, int16Block({0, 300, 600}), 25);
    ASSERT_EQ(first.frameLength(),
              7u);  // up to the last input frame, which waits for its successor
    for (std::uint32_t frame = 0; frame < 7; ++frame) {
        EXPECT_NEAR(first.sample(frame, 0), frame * 100 / 32768.0, 1e-7);
        EXPECT_EQ(first.sample(frame, 1), first.sample(frame, 0));
    }
    PcmBuffer second = convertOnce(*converter, target, int16Block({900}), 19);
    ASSERT_EQ(second.frameLength(), 3u);
    EXPECT_NEAR(second.sample(0, 0), 700 / 32768.0, 1e-7);
    EXPECT_NEAR(second.sample(2, 0), 900 / 32768.0, 1e-7);
}

TEST(SimulatedConverter, DownsamplesAndConvertsSampleTypes) {
    const AudioFormat target{CommonFormat::pcmFormatInt32, 8000, 1, true};
    auto converter = makeSimulatedAudioConversion()->makeConverter(input, target);
    ASSERT_TRUE(converter);
    PcmBuffer output = convertOnce(*converter, target, int16Block({-32768, 5, 16384, 7}), 18);
    ASSERT_EQ(output.frameLength(), 2u);
    EXPECT_EQ(output.sample(0, 0), -1.0);
    EXPECT_EQ(output.sample(1, 0), 0.5);
}

TEST(SimulatedConverter, RefusesFormatsItCannotConvert) {
    auto conversion = makeSimulatedAudioConversion();
    EXPECT_FALSE(
        conversion->makeConverter(input, {CommonFormat::pcmFormatFloat32, 44100.5, 1, true}));
    EXPECT_FALSE(
        conversion->makeConverter(input, {CommonFormat::pcmFormatFloat32, 16000, 0, true}));
    EXPECT_FALSE(
        makeSimulatedAudioConversion({.converterFails = true})->makeConverter(input, input));
    EXPECT_FALSE(makeSimulatedAudioConversion({.inputFormatFails = true})
                     ->makeFormat(CommonFormat::pcmFormatInt16, 16000, 1, true));
}

TEST(PcmBuffers, OnlySixteenBitBuffersOfferSixteenBitStorage) {
    EXPECT_NE(PcmBuffer(input, 4).int16ChannelData(), nullptr);
    EXPECT_EQ(PcmBuffer({CommonFormat::pcmFormatFloat32, 16000, 1, true}, 4).int16ChannelData(),
              nullptr);
    EXPECT_EQ(describeAudioFormat(input), "16000.0 Hz, 1 ch, int16, interleaved");
}

}  // namespace
}  // namespace norvi::engine
