#pragma once

#include <unistd.h>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "audio-helper/core/output_records.h"
#include "audio-helper/core/platform/core_audio_types.h"
#include "audio-helper/core/platform/core_media.h"
#include "audio-helper/core/sample_extraction.h"
#include "support/serial_queue.h"

namespace norvi::helper {

// The one path by which a stream's records leave the helper. Captured audio (mono samples, a
// buffer list with its format, or a sample buffer) is resampled to 16 kHz mono by linear
// interpolation, shaped by a soft limiter, converted to signed 16-bit and cut into chunks of
// 1600 frames. The audio work runs on the caller's thread under `lock`; encoding and writing
// run on a private serial queue, so the capture thread never waits for the reader.
//
// Samples whose rate is not greater than 0, or is infinite, cannot be stepped through: they
// are dropped rather than buffered (a change to such a rate still discards the partial state,
// as any change of rate does).
class PcmJsonLineWriter {
  public:
    using Details = std::vector<std::pair<std::string, std::string>>;

    static constexpr int chunkFrames = 1600;
    static constexpr int outputSampleRate = 16000;

    // `outputFd` receives the records (standard output unless a test or benchmark says).
    explicit PcmJsonLineWriter(std::string command, int outputFd = STDOUT_FILENO);
    ~PcmJsonLineWriter();
    PcmJsonLineWriter(const PcmJsonLineWriter&) = delete;
    PcmJsonLineWriter& operator=(const PcmJsonLineWriter&) = delete;

    void writeStarted(const std::optional<AudioStreamBasicDescription>& inputFormat);
    void recordMonoSamples(std::span<const float> samples, double sampleRate);
    void recordBufferList(const AudioBufferList* list,
                          const std::optional<AudioStreamBasicDescription>& format);
    void recordSampleBuffer(const CMSampleBuffer& buffer);
    void writeDiagnostic(std::string name, std::optional<Details> details = std::nullopt);
    void writeEnded();
    // Returns once every record queued before the call has been written.
    void flush();

    const std::string& command() const { return command_; }
    // Input samples held for the next call (at most one more than a call's worth in the steady
    // state); for tests.
    std::size_t bufferedInputSamples();

  private:
    // A finished chunk on its way to the write queue; returned to the pool once written.
    struct PendingChunk {
        PcmStreamChunkEvent event;
    };

    // Callers hold `lock_`.
    void useRate(double sampleRate);
    // Mixes an interleaved 32-bit float list into `inputBuffer_` and converts; false (nothing
    // touched) when the list holds no frame.
    bool appendInterleavedFloat(const AudioBufferList& list, std::uint32_t channelsPerFrame,
                                double sampleRate);
    void appendSamples(std::span<const float> samples, double sampleRate);
    void consumeReadyChunks(double inputSampleRate);
    void makeChunkEvent(std::span<const std::int16_t> samples);
    PendingChunk* takePendingChunk();
    void queueReadyChunks();

    template <typename Record>
    void writeJSONLine(Record record);
    void writeEncoded(const std::string& encoded);
    void reportEncodingFailure(const std::exception& error);

    const std::string command_;
    const int outputFd_;
    // Serialises the record operations, so that a second producer cannot interleave with the
    // first one's buffers or its hand-over to the queue.
    std::mutex recordingLock_;
    std::mutex lock_;

    // Guarded by `lock_`.
    bool didLogFirstChunk_ = false;
    std::vector<float> inputBuffer_;
    std::optional<double> inputSampleRate_;
    // Converted samples that do not fill a chunk yet: the first `outputCount_`.
    std::array<std::int16_t, chunkFrames> outputBuffer_{};
    std::size_t outputCount_ = 0;
    double sourcePosition_ = 0;

    // Guarded by `recordingLock_`.
    MonoSampleExtractor extractor_;
    std::vector<PendingChunk*> readyChunks_;
    std::atomic<bool> didLogMissingFormatDescription_{false};
    std::atomic<bool> didLogUnsupportedFormat_{false};
    std::atomic<bool> didLogUnsupportedSampleBuffer_{false};

    // Chunk storage that has been written and can be filled again.
    std::mutex poolLock_;
    std::vector<std::unique_ptr<PendingChunk>> allChunks_;
    std::vector<PendingChunk*> freeChunks_;

    // Used only on the write queue.
    JsonWriter encoder_;

    // Declared last: destroyed first, so its remaining blocks run while the rest still exists.
    SerialQueue writeQueue_;
};

}  // namespace norvi::helper
