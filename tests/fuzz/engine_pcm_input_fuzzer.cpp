// The engine's standard-input reader and converter on arbitrary bytes written into a pipe in
// arbitrary pieces. The first bytes choose the analyzer's format, how often the data repeats
// and the piece sizes; the rest is the data.
// The reader must deliver every whole frame once: at 16 kHz the converted samples are the input
// samples themselves; at other rates the converter's output frame j sits at input position
// j × 16000 / rate and comes out once both neighbours have arrived. Items are never empty, fit
// their buffers, carry the analyzer's format and hold finite samples from -1 to 1; the end
// callback runs once. A format that cannot be converted fails before anything is read.
#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "apple-engine/helper_error.h"
#include "apple-engine/pcm_input_stream.h"
#include "apple-engine/platform/audio_conversion_simulated.h"

using namespace norvi::engine;

namespace {

constexpr CommonFormat sampleTypes[] = {CommonFormat::pcmFormatInt16, CommonFormat::pcmFormatInt32,
                                        CommonFormat::pcmFormatFloat32,
                                        CommonFormat::pcmFormatFloat64};
// Whole rates the converter takes (up to its highest), and three it refuses (not whole, not
// positive, too high).
constexpr double sampleRates[] = {16000, 8000, 11025, 22050, 1000000, 32000, 44100, 48000,
                                  96000, 1,    7,     15999, 16001,   0.5,   0,     1000001};

struct Header {
    AudioFormat target;
    SimulatedAudioConversionOptions options;
    std::size_t repeats = 1;
    std::vector<std::size_t> pieces;
};

bool convertible(const Header& header) {
    const double rate = header.target.sampleRate;
    return !header.options.converterFails && header.target.channelCount > 0 && rate >= 1 &&
           rate <= 1'000'000 && std::floor(rate) == rate;
}

struct EndCalls {
    std::atomic<int> count{0};
    std::promise<void> first;
};

void writeAllOrAbort(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written <= 0)
            std::abort();
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

// The input must still be in the pipe, unread.
void checkNothingRead(int fd, const std::string& bytes) {
    std::string left(bytes.size() + 1, '\0');
    const ssize_t count = ::read(fd, left.data(), left.size());
    if (static_cast<std::size_t>(count < 0 ? 0 : count) != bytes.size())
        std::abort();
    if (left.compare(0, bytes.size(), bytes) != 0)
        std::abort();
}

void checkSamples(const PcmBuffer& buffer) {
    for (std::uint32_t frame = 0; frame < buffer.frameLength(); ++frame) {
        for (std::uint32_t channel = 0; channel < buffer.format().channelCount; ++channel) {
            const double value = buffer.sample(frame, channel);
            if (!std::isfinite(value) || value < -1 || value > 1)
                std::abort();
        }
    }
}

void checkItems(const Header& header, const std::string& bytes,
                const std::vector<std::shared_ptr<const PcmBuffer>>& items) {
    const std::uint64_t frames = bytes.size() / 2;
    const auto rate = static_cast<std::uint64_t>(header.target.sampleRate);
    const std::uint64_t expected = frames == 0 ? 0 : (frames - 1) * rate / 16000 + 1;
    const auto lastBlockFrames = static_cast<std::uint32_t>(
        bytes.size() % inputBlockBytes == 0 ? 1600 : bytes.size() % inputBlockBytes / 2);
    const std::uint32_t fullCapacity = outputFrameCapacity(header.target.sampleRate, 1600);
    const std::uint32_t lastCapacity =
        outputFrameCapacity(header.target.sampleRate, lastBlockFrames);
    std::uint64_t delivered = 0;
    for (const auto& item : items) {
        if (!item || item->format() != header.target)
            std::abort();
        if (item->frameLength() == 0 || item->frameLength() > item->frameCapacity())
            std::abort();
        if (item->frameCapacity() != fullCapacity && item->frameCapacity() != lastCapacity) {
            std::abort();
        }
        checkSamples(*item);
        if (rate == 16000) {
            // Equal rates: each converted sample is the input sample, in every channel.
            for (std::uint32_t frame = 0; frame < item->frameLength(); ++frame) {
                std::int16_t input;
                std::memcpy(&input, bytes.data() + 2 * (delivered + frame), 2);
                for (std::uint32_t channel = 0; channel < header.target.channelCount; ++channel) {
                    if (item->sample(frame, channel) != input / 32768.0)
                        std::abort();
                }
            }
            if (item->frameLength() != 1600 && item != items.back())
                std::abort();
        }
        delivered += item->frameLength();
    }
    if (delivered != expected)
        std::abort();
}

void run(const Header& header, const std::string& bytes) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        std::abort();
    auto end = std::make_shared<EndCalls>();
    std::shared_ptr<AnalyzerInputStream> stream;
    try {
        stream = makeInputStream(
            makeSimulatedAudioConversion(header.options), header.target,
            [end] {
                if (end->count++ == 0)
                    end->first.set_value();
            },
            fds[0]);
    } catch (const HelperError& error) {
        const char* expected = header.options.inputFormatFails
                                   ? "Could not create the input audio format."
                                   : "Could not convert audio to the speech model format.";
        if (convertible(header) && !header.options.inputFormatFails)
            std::abort();
        if (error.description() != expected)
            std::abort();
        // Well within what a pipe holds, so that nobody needs to read.
        const std::string written = bytes.substr(0, 4096);
        writeAllOrAbort(fds[1], written.data(), written.size());
        ::close(fds[1]);
        checkNothingRead(fds[0], written);
        ::close(fds[0]);
        return;
    }
    if (!convertible(header) || header.options.inputFormatFails)
        std::abort();

    std::size_t offset = 0;
    for (std::size_t piece = 0; offset < bytes.size(); ++piece) {
        const std::size_t size =
            std::min(header.pieces[piece % header.pieces.size()], bytes.size() - offset);
        writeAllOrAbort(fds[1], bytes.data() + offset, size);
        offset += size;
        // A chance for the reader to see the piece on its own.
        std::this_thread::yield();
    }
    ::close(fds[1]);
    end->first.get_future().wait();
    std::vector<std::shared_ptr<const PcmBuffer>> items;
    while (std::optional<AnalyzerInput> item = stream->next()) {
        items.push_back(std::move(item->buffer));
    }
    ::close(fds[0]);
    if (end->count != 1)
        std::abort();
    checkItems(header, bytes, items);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    Header header;
    header.target.commonFormat = sampleTypes[data[0] & 3];
    header.target.interleaved = (data[0] & 4) != 0;
    header.target.channelCount = (data[0] >> 3) & 3;
    header.options.inputFormatFails = (data[0] >> 5) == 6;
    header.options.converterFails = (data[0] >> 5) == 7;
    header.target.sampleRate = sampleRates[data[1] % std::size(sampleRates)];
    header.repeats = 1 + data[2] % 8;
    const std::size_t pieceCount = std::min<std::size_t>(data[3] % 16, size - 4);
    for (std::size_t i = 0; i < pieceCount; ++i) {
        header.pieces.push_back(1 + data[4 + i] * std::size_t{16});
    }
    if (header.pieces.empty())
        header.pieces.push_back(inputBlockBytes);
    const std::string once(reinterpret_cast<const char*>(data) + 4 + pieceCount,
                           size - 4 - pieceCount);
    std::string bytes;
    for (std::size_t i = 0; i < header.repeats; ++i)
        bytes += once;
    run(header, bytes);
    return 0;
}
