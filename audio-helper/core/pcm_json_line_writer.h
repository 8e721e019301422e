#pragma once

#include <unistd.h>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include <asio/awaitable.hpp>

#include "audio-helper/core/output_records.h"
#include "audio-helper/core/platform/core_audio_types.h"
#include "audio-helper/core/platform/core_media.h"
#include "audio-helper/core/sample_extraction.h"
#include "support/one_shot.h"

namespace norvi::helper {

// The one path by which a stream's records leave the helper. Captured audio (mono samples, a
// buffer list with its format, or a sample buffer) is resampled to 16 kHz mono by linear
// interpolation, shaped by a soft limiter, converted to signed 16-bit and cut into chunks of
// 1600 frames. The audio work runs on the caller's thread under `lock`; encoding and writing
// run on a private write thread, one record at a time in queued order, so the capture thread
// never waits for the reader.
//
// The write queue holds at most `maximumQueuedChunks` chunk records (five minutes of audio). A
// reader that falls that far behind loses the oldest waiting chunks, with one standard-error
// line per episode; started, diagnostic and ended records are never dropped. Once a write to
// the output fails (the reader has gone away), nothing more is written: every later record is
// dropped and `waitUntilOutputFails()` returns, so that the command can end the stream.
//
// Samples whose rate is below 1 Hz (0, negative and not-a-number included), or is infinite,
// cannot be stepped through: they are dropped rather than buffered (a change to such a rate
// still discards the partial state, as any change of rate does).
class PcmJsonLineWriter {
  public:
    using Details = std::vector<std::pair<std::string, std::string>>;

    static constexpr int chunkFrames = 1600;
    static constexpr int outputSampleRate = 16000;
    static constexpr std::size_t maximumQueuedChunks = 3000;

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
    // Returns once every record queued before the call has been written (or dropped).
    void flush();

    // Returns with the failure's description once a write to the output has failed; a
    // cancelled wait returns std::nullopt at once. One waiter at a time.
    asio::awaitable<std::optional<std::string>> waitUntilOutputFails();
    // The description of the output's failure, once a write has failed.
    std::optional<std::string> outputFailure();

    const std::string& command() const { return command_; }
    // Input samples held for the next call (at most one more than a call's worth in the steady
    // state); for tests.
    std::size_t bufferedInputSamples();

  private:
    // A finished chunk on its way to the write queue; returned to the pool once written.
    struct PendingChunk {
        PcmStreamChunkEvent event;
    };
    // A record waiting for the write thread: a chunk, or any other record's encode-and-write.
    struct QueuedRecord {
        std::uint64_t sequence;
        std::variant<PendingChunk*, std::function<void()>> work;
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
    void returnPendingChunk(PendingChunk* chunk);
    void queueReadyChunks();

    template <typename Record>
    void writeJSONLine(Record record);
    // Queues one record for the write thread; a chunk beyond the limit drops the oldest waiting
    // chunk.
    void enqueue(std::variant<PendingChunk*, std::function<void()>> work);
    void runWriteThread();
    void writeQueued(QueuedRecord& record);
    template <typename Record>
    void encodeAndWrite(const Record& record);
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

    // Used only on the write thread.
    JsonWriter encoder_;

    // The write queue. `writing_` is the sequence number of the record being written, if any.
    std::mutex queueLock_;
    std::condition_variable queueChanged_;
    std::condition_variable recordDone_;
    std::deque<QueuedRecord> queue_;
    std::size_t queuedChunks_ = 0;
    std::uint64_t nextSequence_ = 0;
    std::optional<std::uint64_t> writing_;
    bool dropping_ = false;
    bool stopping_ = false;
    std::optional<std::string> outputFailure_;
    OneShot<std::string> outputFailed_;

    // Started last and joined first, so its remaining records are written while the rest still
    // exists.
    std::thread writeThread_;
};

}  // namespace norvi::helper
