#pragma once

#include <sys/types.h>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process_runner.h"

// What the tests of the PulseAudio backend share: the private server that scripts/test.sh
// starts, players and recorders started outside the test's own process tree (the helper
// leaves out the descendants of its parent, which is the test), tones and their detection.

namespace norvi::helper::pulsetest {

// The server's address (NORVI_TEST_PULSE_SERVER), or none when no test server runs.
std::optional<std::string> testServer();

#define NORVI_REQUIRE_TEST_SERVER()                                                               \
    do {                                                                                          \
        if (!::norvi::helper::pulsetest::testServer()) {                                          \
            GTEST_SKIP() << "no test audio server: run scripts/test.sh, or export the line that " \
                            "scripts/test-audio-server.sh start DIR prints";                      \
        }                                                                                         \
    } while (false)

// A program running in a process group of its own, whose parent is not the test; ended with
// its whole group when the object goes.
class DetachedProcess {
  public:
    explicit DetachedProcess(const std::vector<std::string>& arguments);
    ~DetachedProcess();
    DetachedProcess(const DetachedProcess&) = delete;
    DetachedProcess& operator=(const DetachedProcess&) = delete;
    pid_t pid() const { return pid_; }
    void stop();

  private:
    pid_t pid_ = -1;
};

// A mono 48 kHz 16-bit WAV file of a sine, amplitude 0.3, in `directory`.
std::string writeTone(const testing::TemporaryDirectory& directory, double frequency,
                      double seconds = 12);

// paplay of a tone into a sink, with an optional application id; `viaShell` plays it from a
// child of a shell, whose PID the process then has.
std::vector<std::string> playerCommand(const std::string& tone, const std::string& sink,
                                       const std::string& applicationID = "",
                                       bool viaShell = false);
// parec from a source, with an application id.
std::vector<std::string> recorderCommand(const std::string& source,
                                         const std::string& applicationID);

// The least tone level that counts as heard. A player's tone measures about 0.3 on an idle
// machine, but on a loaded one the player's stream underruns and leaves gaps of silence, so
// the bar sits well below that and well above what a left-out player leaves (under 0.02).
constexpr double heardLevel = 0.04;

// The amplitude of `frequency` in the samples (a Goertzel filter): about 0.3 for a player's tone.
double toneLevel(const std::vector<float>& samples, double sampleRate, double frequency);
// The samples of the helper's "pcm_s16le" records, skipping the first `skipSeconds`.
std::vector<float> chunkSamples(const std::string& output, double skipSeconds = 0);

// Polls `done` until it holds or the time is up.
bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The PIDs of the processes recording (source outputs) or playing (sink inputs) on the server now.
std::vector<pid_t> streamProcesses();
// The PIDs of the processes playing.
std::vector<pid_t> playbackProcesses();

// The environment that runs the helper on the real backend against the test server.
testing::ProcessOptions helperOptions(std::vector<std::string> arguments);

}  // namespace norvi::helper::pulsetest
