#include "apple-engine/pcm_input_stream.h"

#include <dirent.h>
#include <atomic>
#include <fstream>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "apple-engine/helper_error.h"
#include "apple-engine/platform/audio_conversion_simulated.h"

namespace norvi::engine {
namespace {

const AudioFormat int16At16k{CommonFormat::pcmFormatInt16, 16000, 1, true};
const AudioFormat float32At16k{CommonFormat::pcmFormatFloat32, 16000, 1, true};
const AudioFormat float32At48k{CommonFormat::pcmFormatFloat32, 48000, 1, true};

std::string pcmBytes(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t index = 0; index < count; ++index)
        bytes[index] = static_cast<char>(index * 7 + 3);
    return bytes;
}

struct EndSeen {
    std::atomic<int> calls{0};
    std::promise<std::thread::id> thread;
};

struct Reading {
    std::vector<std::shared_ptr<const PcmBuffer>> items;
    int endCalls = 0;
    std::thread::id endThread;
};

// Writes `bytes` into a pipe in pieces of `piece` bytes, closes it, and reads the stream made
// from the other end: first waits for onEnd, so every item must already be in the stream.
Reading readThroughPipe(
    const std::string& bytes, const AudioFormat& target, std::size_t piece = 65536,
    std::shared_ptr<AudioConversion> conversion = makeSimulatedAudioConversion()) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    auto end = std::make_shared<EndSeen>();
    auto stream = makeInputStream(
        conversion, target,
        [end] {
            if (end->calls++ == 0)
                end->thread.set_value(std::this_thread::get_id());
        },
        fds[0]);
    std::thread writer([&] {
        for (std::size_t offset = 0; offset < bytes.size(); offset += piece) {
            const std::string part = bytes.substr(offset, piece);
            EXPECT_EQ(::write(fds[1], part.data(), part.size()), static_cast<ssize_t>(part.size()));
            if (piece < 65536)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ::close(fds[1]);
    });
    Reading reading;
    reading.endThread = end->thread.get_future().get();
    writer.join();
    while (auto item = stream->next())
        reading.items.push_back(item->buffer);
    reading.endCalls = end->calls.load();
    ::close(fds[0]);
    return reading;
}

std::vector<std::uint32_t> frameLengths(const Reading& reading) {
    std::vector<std::uint32_t> lengths;
    for (const auto& item : reading.items)
        lengths.push_back(item->frameLength());
    return lengths;
}

TEST(PcmInputStream, BlocksBecomeItemsUntilTheEndOfInput) {
    const struct {
        std::size_t bytes;
        AudioFormat target;
        std::size_t piece;
        std::vector<std::uint32_t> frames;
    } cases[] = {
        {0, int16At16k, 65536, {}},
        {6400, int16At16k, 65536, {1600, 1600}},
        {6400, float32At16k, 65536, {1600, 1600}},
        {3201, int16At16k, 65536, {1600}},
        {3200 + 1001, int16At16k, 65536, {1600, 500}},
        {6400, int16At16k, 100, {1600, 1600}},
        {9600, float32At48k, 65536, {4798, 4800, 4800}},
    };
    for (const auto& [bytes, target, piece, frames] : cases) {
        SCOPED_TRACE(std::to_string(bytes) + " bytes in pieces of " + std::to_string(piece));
        const Reading reading = readThroughPipe(pcmBytes(bytes), target, piece);
        EXPECT_EQ(frameLengths(reading), frames);
        EXPECT_EQ(reading.endCalls, 1);
        EXPECT_NE(reading.endThread, std::this_thread::get_id());
        for (const auto& item : reading.items)
            EXPECT_EQ(item->format(), target);
    }
}

TEST(PcmInputStream, SamplesArriveUnchangedForTheInputFormat) {
    const std::string bytes = pcmBytes(6400 + 1001);
    const Reading reading = readThroughPipe(bytes, int16At16k, 100);
    std::string received;
    for (const auto& item : reading.items) {
        received.append(reinterpret_cast<const char*>(item->int16ChannelData()),
                        item->frameLength() * 2);
    }
    EXPECT_EQ(received, bytes.substr(0, 6400 + 1000));
}

TEST(PcmInputStream, OutputCapacityIsTheScaledFrameCountPlusSixteen) {
    EXPECT_EQ(outputFrameCapacity(48000, 1600), 4816u);
    EXPECT_EQ(outputFrameCapacity(16000, 1600), 1616u);
    EXPECT_EQ(outputFrameCapacity(44100, 500), 1394u);  // 1378.125 truncated
    EXPECT_EQ(outputFrameCapacity(16000, 0), 16u);
    const Reading reading = readThroughPipe(pcmBytes(3200), float32At48k);
    ASSERT_EQ(reading.items.size(), 1u);
    EXPECT_EQ(reading.items[0]->frameCapacity(), 4816u);
}

TEST(PcmInputStream, MissingFormatOrConverterFailsBeforeReading) {
    const struct {
        SimulatedAudioConversionOptions options;
        std::string message;
    } cases[] = {
        {{.inputFormatFails = true}, "Could not create the input audio format."},
        {{.converterFails = true}, "Could not convert audio to the speech model format."},
    };
    for (const auto& [options, message] : cases) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        ASSERT_EQ(::write(fds[1], "abcd", 4), 4);
        bool ended = false;
        try {
            makeInputStream(
                makeSimulatedAudioConversion(options), int16At16k, [&] { ended = true; }, fds[0]);
            ADD_FAILURE() << "no failure";
        } catch (const HelperError& error) {
            EXPECT_EQ(error.description(), message);
        }
        char left[8];
        EXPECT_EQ(::read(fds[0], left, sizeof left), 4);  // nothing was read
        EXPECT_FALSE(ended);
        ::close(fds[0]);
        ::close(fds[1]);
    }
}

// Fails the buffers and conversions it is told to, and otherwise does what the simulation does.
class FlakyConversion final : public AudioConversion {
  public:
    std::set<int> failingBuffers;
    std::set<int> failingConversions;

    std::optional<AudioFormat> makeFormat(CommonFormat common, double rate, std::uint32_t channels,
                                          bool interleaved) override {
        return inner_->makeFormat(common, rate, channels, interleaved);
    }
    std::shared_ptr<PcmBuffer> makeBuffer(const AudioFormat& format,
                                          std::uint32_t capacity) override {
        return failingBuffers.contains(buffers_++) ? nullptr : inner_->makeBuffer(format, capacity);
    }
    std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                  const AudioFormat& to) override {
        class Converter final : public AudioConverter {
          public:
            Converter(FlakyConversion& owner, std::unique_ptr<AudioConverter> inner)
                : owner_(owner), inner_(std::move(inner)) {}
            std::optional<std::string> convert(PcmBuffer& output,
                                               const ConverterInputBlock& block) override {
                if (owner_.failingConversions.contains(owner_.conversions_++))
                    return "broken";
                return inner_->convert(output, block);
            }

          private:
            FlakyConversion& owner_;
            std::unique_ptr<AudioConverter> inner_;
        };
        return std::make_unique<Converter>(*this, inner_->makeConverter(from, to));
    }

  private:
    std::shared_ptr<AudioConversion> inner_ = makeSimulatedAudioConversion();
    int buffers_ = 0;
    int conversions_ = 0;
};

TEST(PcmInputStream, BlocksWhoseBuffersOrConversionFailAreDroppedSilently) {
    auto flaky = std::make_shared<FlakyConversion>();
    // Buffers come in pairs per block: 0/1 for block 0, 2/3 for block 1, ...
    flaky->failingBuffers = {2, 5};   // block 1's input, block 2's output
    flaky->failingConversions = {2};  // block 3 (blocks 1 and 2 never reach a conversion)
    const std::string bytes = pcmBytes(3200 * 5);
    const Reading reading = readThroughPipe(bytes, int16At16k, 65536, flaky);
    ASSERT_EQ(frameLengths(reading), (std::vector<std::uint32_t>{1600, 1600}));
    EXPECT_EQ(reading.items[1]->int16ChannelData()[0],
              static_cast<std::int16_t>((static_cast<unsigned char>(bytes[3200 * 4]) |
                                         static_cast<unsigned char>(bytes[3200 * 4 + 1]) << 8)));
    EXPECT_EQ(reading.endCalls, 1);
}

TEST(PcmInputStream, TheReaderThreadIsNamed) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::promise<void> ended;
    auto stream = makeInputStream(
        makeSimulatedAudioConversion(), int16At16k, [&] { ended.set_value(); }, fds[0]);
    bool found = false;
    for (int attempt = 0; attempt < 200 && !found; ++attempt) {
        DIR* tasks = ::opendir("/proc/self/task");
        while (dirent* entry = ::readdir(tasks)) {
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            found = found || name == "norvi-apple-eng";
        }
        ::closedir(tasks);
        if (!found)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(found);
    ::close(fds[1]);
    ended.get_future().get();
    ::close(fds[0]);
}

}  // namespace
}  // namespace norvi::engine
