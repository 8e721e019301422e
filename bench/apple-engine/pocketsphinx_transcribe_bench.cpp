// The real recognizer through the whole program: sentences spoken by flite, joined by a second
// of silence, are fed to `norvi-apple-engine transcribe` (NORVI_SIMULATION unset) as fast as it
// reads them. Reported: seconds of audio recognised per second of wall time, CPU seconds per
// hour of audio (the engine's own, model loading included), and the word error rate of the
// final lines against the sentences. A run on one second of silence shows the start-up alone.
#include <sys/resource.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "tests/apple-engine/speech_clips.h"
#include "tests/support/process_runner.h"

namespace norvi::engine {
namespace {

const std::vector<std::string> sentences{
    "the weather is nice today",
    "please open the door",
    "turn left at the next corner",
    "we will meet at the station after lunch",
    "the children played in the garden all afternoon",
    "can you send me the report by friday",
    "she bought three apples and a loaf of bread",
    "the train to the city leaves every hour",
    "my brother works at the hospital downtown",
    "it started to rain just before the game",
};

double childCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Run {
    norvi::testing::ProcessResult result;
    double wallSeconds = 0;
    double cpuSeconds = 0;
};

Run transcribe(const std::string& pcm) {
    norvi::testing::ProcessOptions options;
    options.arguments = {"transcribe", "--language", "en-US"};
    options.environment = {{"NORVI_SIMULATION", std::nullopt},
                           {"NORVI_APPLE_ENGINE_DEBUG", std::nullopt}};
    options.standardInput = pcm;
    Run run;
    const double cpuBefore = childCpuSeconds();
    const auto started = std::chrono::steady_clock::now();
    run.result =
        norvi::testing::runProcess(NORVI_APPLE_ENGINE_PROGRAM, options, std::chrono::minutes(10));
    run.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    run.cpuSeconds = childCpuSeconds() - cpuBefore;
    return run;
}

std::string finalText(const std::string& output) {
    std::string text;
    for (const std::string& line : norvi::testing::splitLines(output)) {
        const nlohmann::json record = nlohmann::json::parse(line);
        if (record["type"] == "line" && record["isFinal"] == true)
            text += record["text"].get<std::string>() + " ";
    }
    return text;
}

void report(benchmark::State& state, const Run& run, double audioSeconds) {
    state.SetIterationTime(run.wallSeconds);
    state.counters["audio_s"] = audioSeconds;
    state.counters["audio_s_per_wall_s"] = audioSeconds / run.wallSeconds;
    state.counters["cpu_s_per_audio_hour"] = run.cpuSeconds / audioSeconds * 3600;
}

void BM_TranscribeJoinedClips(benchmark::State& state) {
    norvi::testing::TemporaryDirectory directory;
    testing::JoinedClips joined;
    try {
        joined = testing::joinedClips(directory.path(), sentences);
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    std::string reference;
    for (const std::string& sentence : sentences)
        reference += sentence + " ";
    const double audioSeconds = static_cast<double>(joined.pcm.size()) / 32000;
    for (auto _ : state) {
        const Run run = transcribe(joined.pcm);
        if (run.result.exitStatus != 0) {
            state.SkipWithError(("the engine failed: " + run.result.standardError).c_str());
            return;
        }
        report(state, run, audioSeconds);
        state.counters["wer_percent"] =
            testing::wordErrorRate(reference, finalText(run.result.standardOutput)) * 100;
    }
}

void BM_TranscribeSilence(benchmark::State& state) {
    const std::string pcm = testing::silence(1);
    for (auto _ : state) {
        const Run run = transcribe(pcm);
        if (run.result.exitStatus != 0) {
            state.SkipWithError(("the engine failed: " + run.result.standardError).c_str());
            return;
        }
        report(state, run, 1);
    }
}

BENCHMARK(BM_TranscribeJoinedClips)->Iterations(3)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_TranscribeSilence)->Iterations(3)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace norvi::engine

BENCHMARK_MAIN();
