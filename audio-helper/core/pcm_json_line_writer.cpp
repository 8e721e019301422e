#include "audio-helper/core/pcm_json_line_writer.h"

#include <pthread.h>
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "audio-helper/core/audio_format_description.h"
#include "audio-helper/core/sample_buffer_audio_buffer_list.h"
#include "audio-helper/core/stderr_writer.h"
#include "audio-helper/tap/os_status.h"
#include "support/base64.h"
#include "support/fd_write.h"
#include "support/number_text.h"

namespace norvi::helper {
namespace {

// Linux keeps 15 bytes of a thread name: the end of "com.norvi.audio-helper.pcm-json-writer".
constexpr char writeThreadName[] = "pcm-json-writer";

// Linear with gain 0.98 up to |x| = 0.9, then bending smoothly towards a ceiling of 0.98.
// Single precision throughout except the exponential; not-a-number gives +0.98.
inline float shapeLevel(float x) {
    const float m = std::fabs(x);
    constexpr float threshold = 0.9f;
    constexpr float width = 1.0f - threshold;
    if (m <= threshold) {
        return x * 0.98f;
    }
    const float quotient = (m - threshold) / width;
    const auto e = static_cast<float>(std::exp(-static_cast<double>(quotient)));
    const float c = threshold + (1.0f - e) * width;
    const float sign = x < 0 ? -1.0f : 1.0f;
    return c < 1.0f ? sign * c * 0.98f : sign * 0.98f;
}

inline std::int16_t convertSample(float y) {
    if (y <= -1.0f) {
        return -32768;
    }
    return static_cast<std::int16_t>(y * 32767.0f);
}

// Rates that can be stepped through; anything else is dropped. Below 1 Hz (no device has such
// a rate) every input sample would turn into more than a second of output, and a tiny rate
// into practically endless output.
bool usableRate(double rate) {
    return rate >= 1 && std::isfinite(rate);
}

}  // namespace

PcmJsonLineWriter::PcmJsonLineWriter(std::string command, int outputFd)
    : command_(std::move(command)), outputFd_(outputFd), encoder_(compactStyle) {
    readyChunks_.reserve(16);
    freeChunks_.reserve(64);
    writeThread_ = std::thread([this] { runWriteThread(); });
}

PcmJsonLineWriter::~PcmJsonLineWriter() {
    {
        std::lock_guard guard(queueLock_);
        stopping_ = true;
    }
    queueChanged_.notify_one();
    writeThread_.join();
}

void PcmJsonLineWriter::writeStarted(
    const std::optional<AudioStreamBasicDescription>& inputFormat) {
    PcmStreamStartedEvent event{.command = command_, .inputFormat = std::nullopt};
    if (inputFormat) {
        event.inputFormat = AudioFormatSummary::from(*inputFormat);
    }
    writeJSONLine(std::move(event));
}

void PcmJsonLineWriter::writeDiagnostic(std::string name, std::optional<Details> details) {
    writeJSONLine(StreamDiagnosticEvent{.details = std::move(details), .name = std::move(name)});
}

void PcmJsonLineWriter::writeEnded() {
    writeJSONLine(PcmStreamEndedEvent{.command = command_});
}

void PcmJsonLineWriter::flush() {
    std::unique_lock guard(queueLock_);
    const std::uint64_t before = nextSequence_;
    // The queue is in sequence order, so everything before `before` is done once neither the
    // record being written nor the first waiting one comes before it.
    recordDone_.wait(guard, [&] {
        return (!writing_ || *writing_ >= before) &&
               (queue_.empty() || queue_.front().sequence >= before);
    });
}

asio::awaitable<std::optional<std::string>> PcmJsonLineWriter::waitUntilOutputFails() {
    return outputFailed_.wait();
}

std::optional<std::string> PcmJsonLineWriter::outputFailure() {
    std::lock_guard guard(queueLock_);
    return outputFailure_;
}

std::size_t PcmJsonLineWriter::bufferedInputSamples() {
    std::lock_guard guard(lock_);
    return inputBuffer_.size();
}

void PcmJsonLineWriter::recordMonoSamples(std::span<const float> samples, double sampleRate) {
    std::lock_guard recording(recordingLock_);
    {
        std::lock_guard guard(lock_);
        appendSamples(samples, sampleRate);
    }
    queueReadyChunks();
}

void PcmJsonLineWriter::recordBufferList(const AudioBufferList* list,
                                         const std::optional<AudioStreamBasicDescription>& format) {
    if (!format) {
        return;
    }
    std::lock_guard recording(recordingLock_);
    const bool isFloat32 =
        format->mBitsPerChannel == 32 && (format->mFormatFlags & kAudioFormatFlagIsFloat) != 0;
    const bool isInt16 = format->mBitsPerChannel == 16 &&
                         (format->mFormatFlags & kAudioFormatFlagIsSignedInteger) != 0;
    if (list != nullptr && format->mFormatID == kAudioFormatLinearPCM && (isFloat32 || isInt16)) {
        const bool interleaved = (format->mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
        const std::uint32_t channelsPerFrame =
            std::max<std::uint32_t>(format->mChannelsPerFrame, 1);
        if (interleaved && isFloat32) {
            // The capture format of the tap: mixed straight into the input buffer.
            std::unique_lock guard(lock_);
            if (appendInterleavedFloat(*list, channelsPerFrame, format->mSampleRate)) {
                guard.unlock();
                queueReadyChunks();
                return;
            }
        }
        const std::span<const float> samples =
            interleaved ? extractor_.interleaved(*list, format->mBitsPerChannel, channelsPerFrame,
                                                 isFloat32)
                        : extractor_.nonInterleaved(*list, format->mBitsPerChannel, isFloat32);
        if (!samples.empty()) {
            {
                std::lock_guard guard(lock_);
                appendSamples(samples, format->mSampleRate);
            }
            queueReadyChunks();
            return;
        }
    }
    if (!didLogUnsupportedFormat_.exchange(true)) {
        writeStderr(command_ + ": unsupported or empty PCM buffer format=" +
                    describeAudioFormat(*format) + "\n");
    }
}

void PcmJsonLineWriter::recordSampleBuffer(const CMSampleBuffer& buffer) {
    const AudioStreamBasicDescription* description =
        CMAudioFormatDescriptionGetStreamBasicDescription(
            CMSampleBufferGetFormatDescription(buffer));
    if (description == nullptr) {
        if (!didLogMissingFormatDescription_.exchange(true)) {
            writeStderr(command_ +
                        ": audio sample buffer was missing a linear PCM format description\n");
        }
        return;
    }
    const AudioStreamBasicDescription format = *description;
    try {
        withSampleBufferAudioBufferList(
            buffer, format, [&](const AudioBufferList* list) { recordBufferList(list, format); });
    } catch (const SampleBufferAudioBufferListError& error) {
        if (!didLogUnsupportedSampleBuffer_.exchange(true)) {
            writeStderr(command_ + ": failed to extract audio buffer list status=" +
                        statusDescription(error.status) + " format=" + describeAudioFormat(format) +
                        "\n");
        }
    }
}

void PcmJsonLineWriter::useRate(double sampleRate) {
    if (!inputSampleRate_ || *inputSampleRate_ != sampleRate) {
        // A new rate starts from nothing: what the old rate left unconverted is dropped.
        inputSampleRate_ = sampleRate;
        inputBuffer_.clear();
        outputCount_ = 0;
        sourcePosition_ = 0;
    }
}

void PcmJsonLineWriter::appendSamples(std::span<const float> samples, double sampleRate) {
    useRate(sampleRate);
    if (!usableRate(sampleRate)) {
        return;
    }
    inputBuffer_.insert(inputBuffer_.end(), samples.begin(), samples.end());
    consumeReadyChunks(sampleRate);
}

namespace {

// Channels and whole frames of one interleaved 32-bit float buffer, as the extractor counts them.
std::uint32_t bufferChannels(const AudioBuffer& buffer, std::uint32_t channelsPerFrame) {
    return std::max<std::uint32_t>(
        buffer.mNumberChannels != 0 ? buffer.mNumberChannels : channelsPerFrame, 1);
}

std::size_t interleavedFloatFrames(const AudioBuffer& buffer, std::uint32_t channelsPerFrame) {
    if (buffer.mData == nullptr) {
        return 0;
    }
    return buffer.mDataByteSize /
           (std::size_t(bufferChannels(buffer, channelsPerFrame)) * sizeof(float));
}

float loadFloat(const std::byte* bytes, std::size_t index) {
    float value;
    std::memcpy(&value, bytes + index * sizeof(float), sizeof value);
    return value;
}

}  // namespace

bool PcmJsonLineWriter::appendInterleavedFloat(const AudioBufferList& list,
                                               std::uint32_t channelsPerFrame, double sampleRate) {
    std::size_t total = 0;
    for (const AudioBuffer& buffer : audioBuffers(list)) {
        total += interleavedFloatFrames(buffer, channelsPerFrame);
    }
    if (total == 0) {
        return false;
    }
    useRate(sampleRate);
    if (!usableRate(sampleRate)) {
        return true;
    }
    std::size_t at = inputBuffer_.size();
    inputBuffer_.resize(at + total);
    float* out = inputBuffer_.data();
    // Each frame is the mean of its channels, summed from 0 in channel order, exactly as the
    // extractor mixes them.
    for (const AudioBuffer& buffer : audioBuffers(list)) {
        const std::size_t frames = interleavedFloatFrames(buffer, channelsPerFrame);
        const std::uint32_t channels = bufferChannels(buffer, channelsPerFrame);
        const auto* bytes = static_cast<const std::byte*>(buffer.mData);
        if (channels == 2) {
            for (std::size_t frame = 0; frame < frames; ++frame) {
                float sum = 0.0f;
                sum += loadFloat(bytes, 2 * frame);
                sum += loadFloat(bytes, 2 * frame + 1);
                out[at++] = sum / 2.0f;
            }
            continue;
        }
        const auto divisor = static_cast<float>(channels);
        for (std::size_t frame = 0; frame < frames; ++frame) {
            float sum = 0.0f;
            for (std::uint32_t channel = 0; channel < channels; ++channel) {
                sum += loadFloat(bytes, frame * channels + channel);
            }
            out[at++] = sum / divisor;
        }
    }
    consumeReadyChunks(sampleRate);
    return true;
}

void PcmJsonLineWriter::consumeReadyChunks(double inputSampleRate) {
    if (!usableRate(inputSampleRate)) {
        return;
    }
    const double step = inputSampleRate / outputSampleRate;
    const float* input = inputBuffer_.data();
    const std::size_t count = inputBuffer_.size();
    double position = sourcePosition_;
    // The two samples around the position must both be there: index + 1 < count.
    const double lastStart = count < 2 ? 0.0 : static_cast<double>(count - 1);
    std::int16_t* output = outputBuffer_.data();
    std::size_t filled = outputCount_;
    const auto emit = [&](std::size_t index, float fraction) {
        const float a = input[index];
        const float b = input[index + 1];
        const float x = a + (b - a) * fraction;
        output[filled++] = convertSample(shapeLevel(x));
        if (filled == outputBuffer_.size()) {
            makeChunkEvent(outputBuffer_);
            filled = 0;
        }
    };
    if (step < 0x1p52 && step == std::floor(step) && position == std::floor(position) &&
        lastStart < 0x1p52) {
        // A whole step from a whole position (48, 32 or 16 kHz) keeps every position a whole
        // number, exactly as adding the step in double precision would: no fraction to carry.
        const auto wholeStep = static_cast<std::size_t>(step);
        auto index = static_cast<std::size_t>(position);
        for (; count >= 2 && index < count - 1; index += wholeStep) {
            emit(index, 0.0f);
        }
        position = static_cast<double>(index);
    } else {
        while (count >= 2 && position < lastStart) {
            // The position is below count - 1 here, so the signed conversion is exact and cheaper.
            const auto index = static_cast<std::size_t>(static_cast<std::int64_t>(position));
            emit(index, static_cast<float>(position - static_cast<double>(index)));
            position += step;
        }
    }
    outputCount_ = filled;
    // Keep the sample before the position (and at least the last one), shifting the position by
    // exactly what is removed.
    std::size_t drop = 0;
    if (count >= 2) {
        if (position >= static_cast<double>(count)) {
            drop = count - 1;
        } else {
            const auto index = static_cast<std::size_t>(position);
            drop = index >= 2 ? index - 1 : 0;
        }
    }
    if (drop > 0) {
        inputBuffer_.erase(inputBuffer_.begin(),
                           inputBuffer_.begin() + static_cast<std::ptrdiff_t>(drop));
        position -= static_cast<double>(drop);
    }
    sourcePosition_ = position;
}

void PcmJsonLineWriter::makeChunkEvent(std::span<const std::int16_t> samples) {
    // "peak" is the largest |sample| / 32767 (division is monotonic, so one division does);
    // "rms" comes from the exact integer sum of the squares.
    int largest = 0;
    std::int64_t sumOfSquares = 0;
    for (const std::int16_t sample : samples) {
        const int value = sample;
        largest = std::max(largest, value < 0 ? -value : value);
        sumOfSquares += value * value;
    }
    const double peak = largest / 32767.0;
    const double rms = samples.empty()
                           ? 0.0
                           : std::sqrt(static_cast<double>(sumOfSquares) / (32767.0 * 32767.0) /
                                       static_cast<double>(samples.size()));
    if (!didLogFirstChunk_) {
        didLogFirstChunk_ = true;
        writeStderr(command_ +
                    ": emitted first PCM chunk frames=" + std::to_string(samples.size()) +
                    " peak=" + doubleDescription(peak) + " rms=" + doubleDescription(rms) + "\n");
    }
    PendingChunk* chunk = takePendingChunk();
    PcmStreamChunkEvent& event = chunk->event;
    event.data.clear();
    if constexpr (std::endian::native == std::endian::little) {
        appendBase64(event.data, samples.data(), samples.size_bytes());
    } else {
        std::vector<unsigned char> bytes;
        for (const std::int16_t sample : samples) {
            bytes.push_back(static_cast<unsigned char>(static_cast<std::uint16_t>(sample) & 0xFF));
            bytes.push_back(static_cast<unsigned char>(static_cast<std::uint16_t>(sample) >> 8));
        }
        appendBase64(event.data, bytes.data(), bytes.size());
    }
    event.frames = static_cast<int>(samples.size());
    event.peak = peak;
    event.rms = rms;
    readyChunks_.push_back(chunk);
}

PcmJsonLineWriter::PendingChunk* PcmJsonLineWriter::takePendingChunk() {
    std::lock_guard guard(poolLock_);
    if (freeChunks_.empty()) {
        allChunks_.push_back(std::make_unique<PendingChunk>());
        return allChunks_.back().get();
    }
    PendingChunk* chunk = freeChunks_.back();
    freeChunks_.pop_back();
    return chunk;
}

void PcmJsonLineWriter::returnPendingChunk(PendingChunk* chunk) {
    std::lock_guard guard(poolLock_);
    freeChunks_.push_back(chunk);
}

void PcmJsonLineWriter::queueReadyChunks() {
    for (PendingChunk* chunk : readyChunks_) {
        enqueue(chunk);
    }
    readyChunks_.clear();
}

template <typename Record>
void PcmJsonLineWriter::writeJSONLine(Record record) {
    enqueue([this, record = std::move(record)] { encodeAndWrite(record); });
}

void PcmJsonLineWriter::enqueue(std::variant<PendingChunk*, std::function<void()>> work) {
    const bool isChunk = std::holds_alternative<PendingChunk*>(work);
    PendingChunk* dropped = nullptr;
    bool episodeBegins = false;
    {
        std::lock_guard guard(queueLock_);
        if (isChunk && queuedChunks_ >= maximumQueuedChunks) {
            const auto oldest =
                std::find_if(queue_.begin(), queue_.end(), [](const QueuedRecord& queued) {
                    return std::holds_alternative<PendingChunk*>(queued.work);
                });
            dropped = std::get<PendingChunk*>(oldest->work);
            queue_.erase(oldest);
            --queuedChunks_;
            episodeBegins = !std::exchange(dropping_, true);
        }
        queue_.push_back({nextSequence_++, std::move(work)});
        queuedChunks_ += isChunk ? 1 : 0;
    }
    queueChanged_.notify_one();
    if (dropped != nullptr) {
        returnPendingChunk(dropped);
        // A dropped first record may be all that a flush waits for.
        recordDone_.notify_all();
    }
    if (episodeBegins) {
        writeStderr(command_ + ": the reader of standard output is " +
                    std::to_string(maximumQueuedChunks) +
                    " chunks behind; dropping the oldest chunks until it catches up\n");
    }
}

void PcmJsonLineWriter::runWriteThread() {
    pthread_setname_np(pthread_self(), writeThreadName);
    std::unique_lock guard(queueLock_);
    for (;;) {
        queueChanged_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;
        }
        QueuedRecord record = std::move(queue_.front());
        queue_.pop_front();
        if (std::holds_alternative<PendingChunk*>(record.work)) {
            --queuedChunks_;
        }
        if (queue_.empty()) {
            // Caught up: a later shortage is a new episode.
            dropping_ = false;
        }
        writing_ = record.sequence;
        const bool failed = outputFailure_.has_value();
        guard.unlock();
        if (!failed) {
            writeQueued(record);
        }
        if (PendingChunk* const* chunk = std::get_if<PendingChunk*>(&record.work)) {
            returnPendingChunk(*chunk);
        }
        guard.lock();
        writing_.reset();
        recordDone_.notify_all();
    }
}

void PcmJsonLineWriter::writeQueued(QueuedRecord& record) {
    if (PendingChunk* const* chunk = std::get_if<PendingChunk*>(&record.work)) {
        encodeAndWrite((*chunk)->event);
    } else {
        std::get<std::function<void()>>(record.work)();
    }
}

template <typename Record>
void PcmJsonLineWriter::encodeAndWrite(const Record& record) {
    try {
        encoder_.clear();
        writeRecord(encoder_, record);
        writeEncoded(encoder_.text());
    } catch (const std::exception& error) {
        reportEncodingFailure(error);
    }
}

void PcmJsonLineWriter::writeEncoded(const std::string& encoded) {
    // The record, then its line feed as a second write. The first failure ends all writing.
    if (writeAll(outputFd_, encoded) && writeAll(outputFd_, "\n")) {
        return;
    }
    std::string failure = standardOutputWriteFailure(errno);
    {
        std::lock_guard guard(queueLock_);
        outputFailure_ = failure;
    }
    outputFailed_.resume(std::move(failure));
}

void PcmJsonLineWriter::reportEncodingFailure(const std::exception& error) {
    writeStderr("Failed to encode PCM stream event: " + std::string(error.what()) + "\n");
}

}  // namespace norvi::helper
