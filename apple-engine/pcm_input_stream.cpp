#include "apple-engine/pcm_input_stream.h"

#include <pthread.h>
#include <cerrno>
#include <cstring>
#include <limits>
#include <thread>

#include "apple-engine/helper_error.h"
#include "apple-engine/output.h"

namespace norvi::engine {
namespace {

// Linux keeps 15 bytes of a thread name; the rest of "norvi-apple-engine.stdin" is cut off.
constexpr char readerThreadName[] = "norvi-apple-engine.stdin";

struct ReaderState {
    std::shared_ptr<AudioConversion> conversion;
    AudioFormat inputFormat;
    AudioFormat targetFormat;
    std::unique_ptr<AudioConverter> converter;
    std::shared_ptr<AnalyzerInputStream> stream;
    std::function<void()> onEnd;
    int inputFd;
};

// Reads until `block` is full or the input ends; a read error counts as the end of input.
std::size_t readBlock(int fd, char* block) {
    std::size_t filled = 0;
    while (filled < inputBlockBytes) {
        const ssize_t count = ::read(fd, block + filled, inputBlockBytes - filled);
        if (count > 0) {
            filled += static_cast<std::size_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return filled;
}

// One block in, converted; dropped silently when a buffer or the conversion fails.
void convertBlock(ReaderState& state, const char* block, std::size_t bytes) {
    const auto frames = static_cast<std::uint32_t>(bytes / 2);
    std::shared_ptr<PcmBuffer> input = state.conversion->makeBuffer(state.inputFormat, frames);
    if (!input || input->int16ChannelData() == nullptr)
        return;
    input->setFrameLength(frames);
    std::memcpy(input->int16ChannelData(), block, static_cast<std::size_t>(frames) * 2);

    std::shared_ptr<PcmBuffer> output = state.conversion->makeBuffer(
        state.targetFormat, outputFrameCapacity(state.targetFormat.sampleRate, frames));
    if (!output)
        return;
    bool handedOver = false;
    std::shared_ptr<const PcmBuffer> given = input;
    const std::optional<std::string> error =
        state.converter->convert(*output, [&](std::shared_ptr<const PcmBuffer>& next) {
            if (handedOver)
                return ConverterInputStatus::noDataNow;
            handedOver = true;
            next = given;
            return ConverterInputStatus::haveData;
        });
    if (error || output->frameLength() == 0)
        return;
    state.stream->append({std::move(output)});
}

void readLoop(ReaderState state) {
    pthread_setname_np(pthread_self(), std::string(readerThreadName, 15).c_str());
    char block[inputBlockBytes];
    std::uint64_t total = 0;
    for (;;) {
        const std::size_t bytes = readBlock(state.inputFd, block);
        if (bytes == 0)
            break;
        total += bytes;
        convertBlock(state, block, bytes);
    }
    logDebug("input ended after " + std::to_string(total) + " bytes");
    state.stream->finish();
    if (state.onEnd)
        state.onEnd();
}

}  // namespace

std::uint32_t outputFrameCapacity(double targetSampleRate, std::uint32_t inputFrames) {
    const double scaled = targetSampleRate / 16000.0 * inputFrames;
    // Beyond what a buffer can count, the block gets no buffer at all.
    if (!(scaled >= 0) || scaled >= std::numeric_limits<std::uint32_t>::max() - 16.0)
        return 0;
    return static_cast<std::uint32_t>(scaled) + 16;
}

std::shared_ptr<AnalyzerInputStream> makeInputStream(std::shared_ptr<AudioConversion> conversion,
                                                     const AudioFormat& targetFormat,
                                                     std::function<void()> onEnd, int inputFd) {
    std::optional<AudioFormat> inputFormat =
        conversion->makeFormat(CommonFormat::pcmFormatInt16, 16000.0, 1, true);
    if (!inputFormat) {
        throw HelperError("Could not create the input audio format.");
    }
    std::unique_ptr<AudioConverter> converter =
        conversion->makeConverter(*inputFormat, targetFormat);
    if (!converter) {
        throw HelperError("Could not convert audio to the speech model format.");
    }
    auto stream = std::make_shared<AnalyzerInputStream>();
    ReaderState state{
        std::move(conversion), *inputFormat, targetFormat, std::move(converter), stream,
        std::move(onEnd),      inputFd};
    // Detached: it runs until the end of the input, which may come after the run has failed.
    std::thread(readLoop, std::move(state)).detach();
    return stream;
}

}  // namespace norvi::engine
