#include <fcntl.h>
#include <unistd.h>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "audio-helper/core/pcm_json_line_writer.h"
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

}  // namespace
}  // namespace norvi::helper
