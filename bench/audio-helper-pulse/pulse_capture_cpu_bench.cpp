// CPU the PulseAudio capture costs per hour: a tap over the playback streams (and a
// microphone) runs for a few seconds against the test server (NORVI_TEST_PULSE_SERVER)
// while players play, and the helper-side CPU time of the whole process is scaled to an hour.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "audio-helper/core/platform/pulse_capture.h"

namespace {

using namespace norvi::helper::pulse;

double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A player of silence-free noise in its own process group, stopped with it.
pid_t startPlayer(const char* sink) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::execlp(
            "/bin/sh", "sh", "-c",
            (std::string(
                 "head -c 100000000 /dev/urandom | pacat --latency-msec=20 --raw --format=s16le "
                 "--rate=48000 --channels=2 -d ") +
             sink)
                .c_str(),
            static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

void stopPlayer(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

void BM_PulseCaptureCpuPerHour(benchmark::State& state) {
    const char* server = std::getenv("NORVI_TEST_PULSE_SERVER");
    if (server == nullptr) {
        state.SkipWithError(
            "no test audio server: export the line scripts/test-audio-server.sh start DIR prints");
        return;
    }
    ::setenv("PULSE_SERVER", server, 1);
    const auto players = static_cast<int>(state.range(0));
    const bool microphone = state.range(1) != 0;
    std::vector<pid_t> running;
    for (int i = 0; i < players; ++i)
        running.push_back(startPlayer("speaker"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::shared_ptr<PulseConnection> connection = PulseConnection::connect();
    const double seconds = 3;
    for (auto _ : state) {
        std::uint64_t cycles = 0;
        PulseCapture capture(
            connection, {{}, true},
            microphone ? std::optional<CaptureMicrophone>(CaptureMicrophone{"testmic", 2})
                       : std::nullopt,
            [&](std::span<const float> tap, std::span<const float>) {
                benchmark::DoNotOptimize(tap.data());
                ++cycles;
            },
            [](const std::string&) {});
        const double before = processCpuSeconds();
        capture.start();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        capture.stop();
        const double used = processCpuSeconds() - before;
        state.counters["cpu_seconds_per_hour"] = used / seconds * 3600;
        state.counters["cpu_percent"] = used / seconds * 100;
        state.counters["cycles_per_second"] = static_cast<double>(cycles) / seconds;
    }
    for (const pid_t pid : running)
        stopPlayer(pid);
}

BENCHMARK(BM_PulseCaptureCpuPerHour)
    ->ArgsProduct({{1, 4}, {0, 1}})
    ->ArgNames({"players", "microphone"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
