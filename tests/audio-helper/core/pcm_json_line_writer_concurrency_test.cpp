#include <fcntl.h>
#include <unistd.h>
#include <csignal>
#include <map>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "audio-helper/core/pcm_json_line_writer.h"
#include "tests/support/base64_decode.h"
#include "tests/support/process_runner.h"

namespace norvi::helper {
namespace {

// A capture thread feeds the writer while the command thread queues diagnostics and flushes:
// every record arrives whole, and the ended record queued after the capture stopped is last.
TEST(PcmJsonLineWriterConcurrency, CaptureAndCommandThreadsShareTheWriter) {
    testing::TemporaryDirectory directory;
    const std::string path = directory.path() + "/records";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    {
        PcmJsonLineWriter writer("tap-stream", fd);
        writer.writeStarted(std::nullopt);
        std::thread capture([&] {
            const std::vector<float> block(480, 0.1f);
            for (int i = 0; i < 500; ++i)
                writer.recordMonoSamples(block, 48000);
        });
        for (int i = 0; i < 20; ++i) {
            writer.writeDiagnostic("microphone_selected",
                                   PcmJsonLineWriter::Details{{"name", "Mic"}});
            writer.flush();
        }
        capture.join();
        writer.writeEnded();
        writer.flush();
    }
    ::close(fd);
    const std::vector<std::string> lines = testing::splitLines(testing::readFile(path));
    std::size_t chunks = 0;
    for (const std::string& line : lines) {
        const nlohmann::json record = nlohmann::json::parse(line);
        chunks += record["type"] == "pcm_s16le" ? 1 : 0;
    }
    EXPECT_EQ(chunks, 50u);
    EXPECT_EQ(lines.size(), 1 + 20 + 50 + 1u);
    EXPECT_EQ(lines.back(), "{\"command\":\"tap-stream\",\"type\":\"stream_ended\"}");
}

// Reads a descriptor to its end on a thread of its own.
class PipeReader {
  public:
    explicit PipeReader(int fd)
        : thread_([this, fd] {
              char buffer[65536];
              for (ssize_t count; (count = ::read(fd, buffer, sizeof buffer)) > 0;)
                  text_.append(buffer, static_cast<std::size_t>(count));
          }) {}
    std::string finish() {
        thread_.join();
        return text_;
    }

  private:
    std::string text_;
    std::thread thread_;
};

// A reader that stops reading for longer than the queue holds loses the oldest waiting chunks
// and nothing else: the started, diagnostic and ended records all arrive, the newest chunks
// arrive in order, and standard error says so once for the episode.
TEST(PcmJsonLineWriterConcurrency, AReaderThatFallsBehindLosesOnlyTheOldestChunks) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    // Smaller than one chunk record: the writer blocks on its first chunk.
    ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    // Each chunk holds one value, so that it can be told from every other: x = index / 4000
    // stays in the linear range of the limiter (gain 0.98) at 16 kHz, where a sample passes
    // unchanged.
    constexpr int fed = 3400;
    std::map<std::int16_t, int> indexOfValue;
    for (int index = 0; index < fed; ++index)
        indexOfValue[static_cast<std::int16_t>(static_cast<float>(index) / 4000.0f * 0.98f * 32767.0f)] = index;
    const std::size_t limit = PcmJsonLineWriter::maximumQueuedChunks;
    ::testing::internal::CaptureStderr();
    std::string output;
    {
        PcmJsonLineWriter writer("tap-stream", fds[1]);
        writer.writeStarted(std::nullopt);
        // Chunk i is complete once the first sample of block i + 1 is there.
        for (int index = 0; index <= fed; ++index) {
            writer.recordMonoSamples(std::vector<float>(1600, static_cast<float>(index) / 4000.0f), 16000);
            if (index == 1000)
                writer.writeDiagnostic("microphone_selected", PcmJsonLineWriter::Details{{"name", "Mic"}});
        }
        writer.writeEnded();
        PipeReader reader(fds[0]);
        writer.flush();
        ::close(fds[1]);
        output = reader.finish();
    }
    ::close(fds[0]);
    const std::string errors = ::testing::internal::GetCapturedStderr();

    const std::vector<std::string> lines = testing::splitLines(output);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(nlohmann::json::parse(lines.front())["type"], "stream_started");
    EXPECT_EQ(lines.back(), "{\"command\":\"tap-stream\",\"type\":\"stream_ended\"}");
    std::vector<int> chunkIndexes;
    int diagnostics = 0;
    for (std::size_t line = 1; line + 1 < lines.size(); ++line) {
        const nlohmann::json record = nlohmann::json::parse(lines[line]);
        if (record["type"] == "stream_diagnostic") {
            ++diagnostics;
            continue;
        }
        ASSERT_EQ(record["type"], "pcm_s16le");
        const std::string data = record["data"];
        const std::vector<std::uint8_t> bytes = testing::decodeBase64(data);
        ASSERT_EQ(bytes.size(), 3200u);
        const auto value = static_cast<std::int16_t>(bytes[0] | (bytes[1] << 8));
        ASSERT_EQ(indexOfValue.count(value), 1u) << value;
        chunkIndexes.push_back(indexOfValue[value]);
    }
    EXPECT_EQ(diagnostics, 1);
    // What was on its way before the stall, then the newest `limit` chunks.
    ASSERT_GT(chunkIndexes.size(), limit);
    const std::size_t before = chunkIndexes.size() - limit;
    EXPECT_LT(before, 10u);
    for (std::size_t position = 0; position < chunkIndexes.size(); ++position) {
        const int expected = position < before ? static_cast<int>(position)
                                               : fed - static_cast<int>(chunkIndexes.size() - position);
        ASSERT_EQ(chunkIndexes[position], expected) << position;
    }
    const std::string dropping =
        "tap-stream: the reader of standard output is 3000 chunks behind; dropping the oldest chunks "
        "until it catches up\n";
    EXPECT_NE(errors.find(dropping), std::string::npos) << errors;
    EXPECT_EQ(errors.find(dropping), errors.rfind(dropping)) << errors;
}

// Once a write fails, nothing more is written, the failure is reported to the waiting command
// and kept, and flush() still returns.
TEST(PcmJsonLineWriterConcurrency, AFailedWriteEndsAllWritingAndWakesTheWaiter) {
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]);
    PcmJsonLineWriter writer("sck-stream", fds[1]);
    std::optional<std::string> reported;
    asio::io_context loop;
    asio::co_spawn(
        loop, [&]() -> asio::awaitable<void> { reported = co_await writer.waitUntilOutputFails(); },
        asio::detached);
    std::thread capture([&] {
        for (int i = 0; i < 100; ++i)
            writer.recordMonoSamples(std::vector<float>(480, 0.25f), 48000);
    });
    writer.writeStarted(std::nullopt);
    loop.run();
    capture.join();
    writer.writeEnded();
    writer.flush();
    const std::string failure = "Failed to write to standard output: Broken pipe";
    EXPECT_EQ(reported, failure);
    EXPECT_EQ(writer.outputFailure(), failure);
    ::close(fds[1]);
}

}  // namespace
}  // namespace norvi::helper
