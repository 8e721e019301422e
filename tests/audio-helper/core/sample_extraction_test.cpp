#include "audio-helper/core/sample_extraction.h"

#include <cstring>

#include <gtest/gtest.h>

#include "audio-helper/core/audio_format_description.h"
#include "audio-helper/core/platform/core_media_simulated.h"
#include "audio-helper/core/sample_buffer_audio_buffer_list.h"

namespace norvi::helper {
namespace {

// A buffer list over caller-owned byte blocks.
struct TestBufferList {
    struct Entry {
        std::uint32_t channels;
        std::vector<std::byte> bytes;
        bool nullData = false;
    };

    explicit TestBufferList(std::vector<Entry> entries)
        : entries(std::move(entries)),
          storage(AudioBufferListStorage::allocate(static_cast<std::uint32_t>(this->entries.size()))) {
        auto buffers = audioBuffers(*storage.list());
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            buffers[i].mNumberChannels = this->entries[i].channels;
            buffers[i].mDataByteSize = static_cast<std::uint32_t>(this->entries[i].bytes.size());
            buffers[i].mData = this->entries[i].nullData ? nullptr : this->entries[i].bytes.data();
        }
    }
    const AudioBufferList& list() const { return *storage.list(); }

    std::vector<Entry> entries;
    AudioBufferListStorage storage;
};

template <typename T>
std::vector<std::byte> bytesOf(const std::vector<T>& values) {
    std::vector<std::byte> bytes(values.size() * sizeof(T));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

std::vector<float> ramp(std::size_t count, float start, float step) {
    std::vector<float> values(count);
    for (std::size_t i = 0; i < count; ++i) values[i] = start + step * static_cast<float>(i);
    return values;
}

TEST(SampleExtraction, InterleavedFramesAreChannelMeans) {
    // 4096 bytes of stereo float: 512 frames.
    const std::vector<float> stereo = ramp(1024, -0.5f, 0.001f);
    TestBufferList list({{2, bytesOf(stereo)}});
    const auto mono = extractInterleavedMonoFloatSamples(list.list(), 32, 2, true);
    ASSERT_TRUE(mono);
    ASSERT_EQ(mono->size(), 512u);
    for (std::size_t j = 0; j < 512; ++j) {
        EXPECT_EQ((*mono)[j], (0.0f + stereo[2 * j] + stereo[2 * j + 1]) / 2.0f);
    }
    // mNumberChannels 0: the channels-per-frame argument counts instead.
    TestBufferList unnamed({{0, bytesOf(stereo)}});
    EXPECT_EQ(extractInterleavedMonoFloatSamples(unnamed.list(), 32, 2, true), mono);
}

TEST(SampleExtraction, IntegerSamplesSkippedBuffersAndPartialFrames) {
    // Three bytes of one-channel 16-bit audio: one sample, the odd byte ignored.
    std::vector<std::byte> odd = bytesOf(std::vector<std::int16_t>{-32768, 0});
    odd.resize(3);
    TestBufferList list({{1, {}}, {1, bytesOf(std::vector<std::int16_t>{1}), true}, {1, odd}});
    const auto mono = extractInterleavedMonoFloatSamples(list.list(), 16, 1, false);
    ASSERT_TRUE(mono);
    EXPECT_EQ(*mono, std::vector<float>{-32768.0f / 32767.0f});

    TestBufferList nothing({{1, bytesOf(std::vector<float>{1, 2}), true}});
    EXPECT_FALSE(extractInterleavedMonoFloatSamples(nothing.list(), 32, 1, true));
    EXPECT_FALSE(extractNonInterleavedMonoFloatSamples(nothing.list(), 32, true));
}

TEST(SampleExtraction, NonInterleavedBuffersOfDifferentLengthsAverageWhereTheyOverlap) {
    const std::vector<float> left = ramp(512, 0.1f, 0.001f);
    const std::vector<float> right = ramp(256, -0.3f, 0.002f);
    TestBufferList list({{1, bytesOf(left)}, {1, bytesOf(right)}});
    const auto mono = extractNonInterleavedMonoFloatSamples(list.list(), 32, true);
    ASSERT_TRUE(mono);
    ASSERT_EQ(mono->size(), 512u);
    for (std::size_t j = 0; j < 256; ++j) EXPECT_EQ((*mono)[j], (left[j] + right[j]) / 2.0f);
    for (std::size_t j = 256; j < 512; ++j) EXPECT_EQ((*mono)[j], left[j]);
}

TEST(SampleExtraction, MismatchedBitsNeverReadPastTheBuffer) {
    // 24 bits per channel with float samples: frames are counted by the bits, samples read as
    // floats; only the samples that lie inside the buffer are read.
    TestBufferList list({{2, bytesOf(std::vector<float>{0.5f, 0.5f, 0.25f})}});
    const auto mono = extractInterleavedMonoFloatSamples(list.list(), 24, 2, true);
    ASSERT_TRUE(mono);
    EXPECT_EQ(*mono, std::vector<float>{0.5f});
    const auto planar = extractNonInterleavedMonoFloatSamples(list.list(), 8, true);
    ASSERT_TRUE(planar);
    EXPECT_EQ(planar->size(), 6u);  // 12 bytes of 2-byte frames, only the first read
}

TEST(FormatDescription, FourCCAndDescriptionText) {
    EXPECT_EQ(fourCC(1819304813), "lpcm");
    EXPECT_EQ(fourCC(0x77686174), "what");
    EXPECT_EQ(fourCC(1), "1");
    EXPECT_EQ(fourCC(0), "0");
    EXPECT_EQ(fourCC(0x6C70637F), std::to_string(0x6C70637Fu));
    EXPECT_EQ(describeAudioFormat({.mSampleRate = 48000,
                                   .mFormatID = kAudioFormatLinearPCM,
                                   .mFormatFlags = 9,
                                   .mBytesPerPacket = 8,
                                   .mFramesPerPacket = 1,
                                   .mBytesPerFrame = 8,
                                   .mChannelsPerFrame = 2,
                                   .mBitsPerChannel = 32}),
              "formatID=lpcm sampleRate=48000.0 channels=2 bits=32 bytesPerFrame=8 bytesPerPacket=8 "
              "framesPerPacket=1 formatFlags=9");
    EXPECT_EQ(describeAudioFormat({.mSampleRate = 44100.5}).substr(0, 37),
              "formatID=0 sampleRate=44100.5 channel");
}

AudioStreamBasicDescription planarFloat(std::uint32_t channels) {
    return {.mSampleRate = 48000,
            .mFormatID = kAudioFormatLinearPCM,
            .mFormatFlags = 41,
            .mBytesPerPacket = 4,
            .mFramesPerPacket = 1,
            .mBytesPerFrame = 4,
            .mChannelsPerFrame = channels,
            .mBitsPerChannel = 32};
}

TEST(SampleBufferAudioBufferList, BodySeesTheListWhileItsDataIsRetained) {
    auto buffer = SimulatedSampleBuffer::withFloatPlanes(planarFloat(2), {{0.5f, 0.25f}, {-0.5f, 0.75f}}, 1);
    const int frames = withSampleBufferAudioBufferList(*buffer, planarFloat(2), [](const AudioBufferList* list) {
        EXPECT_EQ(SimulatedSampleBuffer::liveBlockBuffers(), 1);
        EXPECT_EQ(list->mNumberBuffers, 2u);
        return static_cast<int>(extractNonInterleavedMonoFloatSamples(*list, 32, true)->size());
    });
    EXPECT_EQ(frames, 2);
    EXPECT_EQ(SimulatedSampleBuffer::liveBlockBuffers(), 0);
    EXPECT_EQ(buffer->requestedListSizes, std::vector<std::size_t>{audioBufferListSizeInBytes(2)});
}

TEST(SampleBufferAudioBufferList, ASecondTryGetsTheLargerListItAskedFor) {
    // Three planes while the format claims one channel: the first list is too small.
    auto buffer = SimulatedSampleBuffer::withFloatPlanes(planarFloat(1), {{0.5f}, {0.25f}, {0.75f}}, 1);
    const auto mono = withSampleBufferAudioBufferList(*buffer, planarFloat(1), [](const AudioBufferList* list) {
        EXPECT_EQ(list->mNumberBuffers, 3u);
        return extractNonInterleavedMonoFloatSamples(*list, 32, true);
    });
    ASSERT_TRUE(mono);
    EXPECT_FLOAT_EQ((*mono)[0], 0.5f);
    EXPECT_EQ(buffer->requestedListSizes,
              (std::vector<std::size_t>{audioBufferListSizeInBytes(1), audioBufferListSizeInBytes(3)}));
    EXPECT_EQ(SimulatedSampleBuffer::liveBlockBuffers(), 0);
}

TEST(SampleBufferAudioBufferList, FailuresCarryTheStatusAndRunNoBody) {
    const struct {
        OSStatus first;
        OSStatus second;
        std::size_t extraBytes;
        OSStatus expected;
    } cases[] = {
        {-12731, 0, 0, -12731},
        // Too small, but the needed size is no larger: no second try.
        {kCMSampleBufferError_ArrayTooSmall, 0, 0, kCMSampleBufferError_ArrayTooSmall},
        // The second try fails with its own status.
        {0, -50, 64, -50},
    };
    for (const auto& c : cases) {
        auto buffer = SimulatedSampleBuffer::withFloatPlanes(planarFloat(1), {{0.5f}}, 1);
        buffer->bufferListStatus = c.first;
        buffer->secondBufferListStatus = c.second;
        buffer->extraListBytes = c.extraBytes;
        bool ran = false;
        try {
            withSampleBufferAudioBufferList(*buffer, planarFloat(1), [&](const AudioBufferList*) { ran = true; });
            ADD_FAILURE() << "no failure for status " << c.first;
        } catch (const SampleBufferAudioBufferListError& error) {
            EXPECT_EQ(error.status, c.expected);
        }
        EXPECT_FALSE(ran);
        EXPECT_EQ(SimulatedSampleBuffer::liveBlockBuffers(), 0);
    }
}

}  // namespace
}  // namespace norvi::helper
