// The PCM reader and its converter fed from a pipe: how many seconds of audio pass through per
// second of wall time ("audio_s_per_s").
#include <unistd.h>
#include <thread>

#include <benchmark/benchmark.h>

#include "apple-engine/pcm_input_stream.h"
#include "apple-engine/platform/audio_conversion_simulated.h"

namespace norvi::engine {
namespace {

constexpr int audioSeconds = 60;

void readFromPipe(benchmark::State& state, AudioFormat target) {
    const std::string second(32000, '\x11');
    auto conversion = makeSimulatedAudioConversion();
    std::uint64_t frames = 0;
    for (auto _ : state) {
        int fds[2];
        if (::pipe(fds) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        auto stream = makeInputStream(conversion, target, nullptr, fds[0]);
        std::thread writer([&] {
            for (int index = 0; index < audioSeconds; ++index) {
                if (::write(fds[1], second.data(), second.size()) < 0)
                    break;
            }
            ::close(fds[1]);
        });
        while (auto item = stream->next())
            frames += item->buffer->frameLength();
        writer.join();
        ::close(fds[0]);
    }
    state.counters["audio_s_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * audioSeconds, benchmark::Counter::kIsRate);
    state.counters["frames_per_block"] = static_cast<double>(frames) /
                                         static_cast<double>(state.iterations()) /
                                         (audioSeconds * 10.0);
}

void BM_InputStreamInt16At16k(benchmark::State& state) {
    readFromPipe(state, {CommonFormat::pcmFormatInt16, 16000, 1, true});
}

void BM_InputStreamFloat32At48k(benchmark::State& state) {
    readFromPipe(state, {CommonFormat::pcmFormatFloat32, 48000, 1, true});
}

BENCHMARK(BM_InputStreamInt16At16k)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InputStreamFloat32At48k)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace norvi::engine

BENCHMARK_MAIN();
