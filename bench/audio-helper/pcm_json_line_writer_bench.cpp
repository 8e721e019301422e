// The PCM writer's throughput on the tap's format: 48 kHz stereo interleaved float delivered
// in 480-frame buffer lists, records written to /dev/null. "audio_s_per_s" is seconds of audio
// converted per second of wall time; the memcpy of the same input bytes is the machine's
// reference for simply reading that input.
//
// Run: build/bin/audio_helper_benchmarks

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>
#include <cmath>
#include <cstring>
#include <vector>

#include "audio-helper/core/pcm_json_line_writer.h"

namespace {

using namespace norvi::helper;

constexpr std::uint32_t framesPerBuffer = 480;
constexpr double secondsPerBuffer = framesPerBuffer / 48000.0;
// Ten seconds of input, cycled through.
constexpr std::size_t inputFrames = 48000 * 10;
// Flushing now and then keeps the write queue's work inside the measured time.
constexpr std::int64_t buffersPerFlush = 1000;

const std::vector<float>& stereoInput() {
    static const std::vector<float> input = [] {
        std::vector<float> samples(inputFrames * 2);
        for (std::size_t frame = 0; frame < inputFrames; ++frame) {
            samples[2 * frame] = static_cast<float>(0.6 * std::sin(frame * 0.0575));
            samples[2 * frame + 1] = static_cast<float>(0.3 * std::sin(frame * 0.0213));
        }
        return samples;
    }();
    return input;
}

void setAudioRate(benchmark::State& state) {
    state.counters["audio_s_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * secondsPerBuffer, benchmark::Counter::kIsRate);
    state.SetBytesProcessed(state.iterations() * framesPerBuffer * 2 * sizeof(float));
}

void BM_PcmJsonLineWriterRecordBufferList(benchmark::State& state) {
    const std::vector<float>& input = stereoInput();
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    {
        PcmJsonLineWriter writer("tap-stream", devNull);
        const AudioStreamBasicDescription format{48000, kAudioFormatLinearPCM, 9, 8, 1, 8, 2, 32,
                                                 0};
        AudioBufferListStorage storage = AudioBufferListStorage::allocate(1);
        AudioBuffer& buffer = audioBuffers(*storage.list())[0];
        buffer.mNumberChannels = 2;
        buffer.mDataByteSize = framesPerBuffer * 2 * sizeof(float);
        std::size_t frame = 0;
        std::int64_t sinceFlush = 0;
        for (auto _ : state) {
            buffer.mData = const_cast<float*>(input.data() + 2 * frame);
            writer.recordBufferList(storage.list(), format);
            frame = (frame + framesPerBuffer) % inputFrames;
            if (++sinceFlush == buffersPerFlush) {
                writer.flush();
                sinceFlush = 0;
            }
        }
        writer.flush();
    }
    ::close(devNull);
    setAudioRate(state);
}
// Wall time, and the CPU time of every thread of the process (the capture thread and the write
// queue): the second figure is the rate one core sustains.
BENCHMARK(BM_PcmJsonLineWriterRecordBufferList)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_PcmJsonLineWriterRecordBufferList)->MeasureProcessCPUTime();

void BM_MemcpyOfTheSameInput(benchmark::State& state) {
    const std::vector<float>& input = stereoInput();
    std::vector<float> copy(framesPerBuffer * 2);
    std::size_t frame = 0;
    for (auto _ : state) {
        std::memcpy(copy.data(), input.data() + 2 * frame, copy.size() * sizeof(float));
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
        frame = (frame + framesPerBuffer) % inputFrames;
    }
    setAudioRate(state);
}
BENCHMARK(BM_MemcpyOfTheSameInput)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
