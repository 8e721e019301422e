// The short form of bench/soak/tap_stream_soak.sh: five minutes of a tone through tap-stream as
// fast as the simulated device delivers it, read as fast as it comes. Every chunk the input
// implies must arrive, and the helper's resident memory must not grow with the audio.

#include <sys/types.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/process_runner.h"

namespace norvi::testing {
namespace {

using nlohmann::json;

// VmRSS in KiB; nothing once the process has ended (a zombie has no VmRSS line).
std::optional<long> residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) {
            return std::stol(line.substr(6));
        }
    }
    return std::nullopt;
}

struct Sample {
    std::size_t chunks;
    long residentKiB;
};

TEST(TapStreamSoak, FiveMinutesOfAToneAllArriveAndMemoryStaysFlat) {
    constexpr int minutes = 5;
    // 480-frame cycles at 48 kHz make 160 frames at 16 kHz each, so ten cycles give one chunk.
    constexpr std::size_t expectedChunks = minutes * 600;
    const json scenario = {
        {"coreAudio",
         {{"plays", {{"signal", "sine"}, {"frequency", 440}, {"amplitude", 0.5}}},
          {"realTime", false},
          {"maximumIOCycles", expectedChunks * 10}}}};
    TemporaryDirectory directory;
    ProcessOptions options;
    options.arguments = {"tap-stream"};
    options.environment["NORVI_SIMULATION"] = directory.writeFile("soak.json", scenario.dump());
    RunningProcess helper(NORVI_AUDIO_HELPER_PROGRAM, options);

    // The collected output grows to about 13 MB: lines are counted as they arrive rather than
    // over the whole text at every wake-up, which would make the test the slow reader.
    std::size_t lines = 0;
    std::size_t scanned = 0;
    auto countUntil = [&](std::size_t wanted) {
        return [&, wanted](const std::string& output) {
            lines +=
                static_cast<std::size_t>(std::count(output.begin() + scanned, output.end(), '\n'));
            scanned = output.size();
            return lines >= wanted;
        };
    };
    // stream_started, then only chunks until the signal.
    auto chunks = [&] { return lines > 0 ? lines - 1 : 0; };

    std::vector<Sample> samples;
    // The cycles come as fast as they go: a long wait without a chunk means they ran out early.
    const auto stalled = std::chrono::seconds(20);
    auto lastProgress = std::chrono::steady_clock::now();
    while (chunks() < expectedChunks && std::chrono::steady_clock::now() - lastProgress < stalled) {
        const std::size_t before = chunks();
        // A sample at least every 100 chunks, however fast they come, and every 50 ms.
        helper.waitForOutput(countUntil(std::min(lines + 100, expectedChunks + 1)),
                             std::chrono::milliseconds(50));
        const std::optional<long> resident = residentKiB(helper.pid());
        if (!resident) {
            break;
        }
        samples.push_back({chunks(), *resident});
        if (chunks() != before) {
            lastProgress = std::chrono::steady_clock::now();
        }
    }
    ASSERT_EQ(chunks(), expectedChunks) << helper.standardError();
    // The device has delivered its last cycle: nothing more may follow.
    EXPECT_FALSE(
        helper.waitForOutput(countUntil(expectedChunks + 2), std::chrono::milliseconds(500)));

    helper.sendSignal(SIGTERM);
    const ProcessResult result = helper.wait(std::chrono::seconds(60));
    EXPECT_EQ(result.termSignal, 0);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    const std::vector<std::string> output = splitLines(result.standardOutput);
    ASSERT_FALSE(output.empty());
    EXPECT_EQ(output.back(), R"({"command":"tap-stream","type":"stream_ended"})");
    std::size_t written = 0;
    for (const std::string& line : output) {
        written += json::parse(line)["type"] == "pcm_s16le" ? 1 : 0;
    }
    EXPECT_EQ(written, expectedChunks);

    // Start-up settles in the first half; whatever the second half adds would grow with every
    // further minute. The simulated device waits for the reader, so no backlog of records can
    // account for growth; the margin, many times the allocator's and the sanitizer's slack, is
    // still below what one chunk record kept per chunk would add (about 6 MiB).
    long firstHalf = 0;
    long secondHalf = 0;
    for (const Sample& sample : samples) {
        long& largest = sample.chunks < expectedChunks / 2 ? firstHalf : secondHalf;
        largest = std::max(largest, sample.residentKiB);
    }
    ASSERT_GT(firstHalf, 0);
    ASSERT_GT(secondHalf, 0);
    EXPECT_LE(secondHalf, firstHalf + 4 * 1024);
    std::cout << samples.size() << " samples of resident memory: first "
              << samples.front().residentKiB << " KiB, largest of the first half " << firstHalf
              << " KiB, of the second half " << secondHalf << " KiB, last "
              << samples.back().residentKiB << " KiB\n";
}

}  // namespace
}  // namespace norvi::testing
