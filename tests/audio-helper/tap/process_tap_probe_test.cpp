#include "audio-helper/tap/process_tap_probe.h"

#include <fcntl.h>
#include <unistd.h>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "audio-helper/core/helper_error.h"
#include "audio-helper/tap/platform/core_audio_simulated.h"
#include "tests/support/process_runner.h"

namespace norvi::helper {
namespace {

using ::testing::ElementsAre;

class ProcessTapProbeTest : public ::testing::Test {
  protected:
    std::shared_ptr<SimulatedCoreAudio> machine(const nlohmann::json& section) {
        return std::make_shared<SimulatedCoreAudio>(SimulatedCoreAudioConfig::fromSection(section),
                                                    nullptr);
    }
    std::vector<std::string> types() {
        std::vector<std::string> names;
        for (const std::string& line : testing::splitLines(testing::readFile(path_))) {
            const nlohmann::json record = nlohmann::json::parse(line);
            names.push_back(record.contains("name") ? record["name"].get<std::string>()
                                                    : record["type"].get<std::string>());
        }
        return names;
    }

    testing::TemporaryDirectory directory_;
    std::string path_ = directory_.path() + "/records";
    int fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
};

// The IO thread feeds the writer while the command thread waits, then stops the probe: no
// callback runs after stop() and every object is released.
TEST_F(ProcessTapProbeTest, CapturesUntilStoppedAndReleasesEverything) {
    auto coreAudio = machine({{"realTime", false}, {"maximumIOCycles", 40}});
    auto writer = std::make_shared<PcmJsonLineWriter>("tap-stream", fd_);
    ProcessTapProbe probe(coreAudio, writer);
    CommandOptions options;
    options.microphone = "Built-in Microphone";
    probe.start(options);
    while (coreAudio->deliveredIOCycles() < 40)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    probe.stop();
    probe.stop();
    writer->writeEnded();
    writer->flush();
    EXPECT_THAT(types(),
                ElementsAre("stream_started", "microphone_selected", "microphone_mix_format",
                            "pcm_s16le", "pcm_s16le", "pcm_s16le", "pcm_s16le", "stream_ended"));
    EXPECT_EQ(coreAudio->liveTaps() + coreAudio->liveAggregateDevices() + coreAudio->liveIOProcs(),
              0u);
    ::close(fd_);
}

TEST_F(ProcessTapProbeTest, StartTimeLimitStopsTheProbeFirst) {
    auto coreAudio = machine({{"startDelaySeconds", "forever"}});
    ProcessTapProbe probe(coreAudio, nullptr);
    CommandOptions options;
    options.startTimeoutSeconds = 0.25;
    try {
        probe.start(options);
        FAIL() << "no error";
    } catch (const HelperError& error) {
        EXPECT_EQ(error.description(),
                  "AudioDeviceStart did not return within 0.25s. The tap aggregate may be waiting "
                  "for active audio "
                  "or may need a different read path.");
    }
    EXPECT_EQ(coreAudio->liveTaps() + coreAudio->liveAggregateDevices() + coreAudio->liveIOProcs(),
              0u);
    // The abandoned start comes back later and finds nothing to start.
    coreAudio->releaseBlockedStarts();
    probe.stop();
    ::close(fd_);
}

TEST_F(ProcessTapProbeTest, StopBeforeStartDoesNothing) {
    auto coreAudio = machine(nlohmann::json::object());
    ProcessTapProbe probe(coreAudio, nullptr);
    probe.stop();
    probe.stop();
    EXPECT_EQ(coreAudio->liveTaps(), 0u);
    ::close(fd_);
}

}  // namespace
}  // namespace norvi::helper
