#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "audio-helper/core/platform/pulse_capture.h"

namespace norvi::helper::pulse {
namespace {

std::vector<float> ramp(std::size_t count, float first) {
    std::vector<float> samples(count);
    std::iota(samples.begin(), samples.end(), first);
    return samples;
}

void push(CaptureFifo& fifo, const std::vector<float>& samples) {
    fifo.push(samples.data(), samples.size() * sizeof(float));
}

TEST(CaptureFifo, WaitsFor30MillisecondsThenDeliversInOrderAndRefillsAfterRunningShort) {
    CaptureFifo fifo(1);
    std::vector<float> out(480, 0.0f);
    push(fifo, ramp(1000, 0));
    fifo.take(out.data(), 480, false);
    EXPECT_EQ(out, std::vector<float>(480, 0.0f));  // 1000 frames: not yet primed
    push(fifo, ramp(440, 1000));
    fifo.take(out.data(), 480, false);
    EXPECT_EQ(out, ramp(480, 0));
    fifo.take(out.data(), 480, false);
    EXPECT_EQ(out, ramp(480, 480));
    fifo.take(out.data(), 480, false);
    EXPECT_EQ(out, ramp(480, 960));
    // A short cycle adds what there is and leaves the rest of the cycle as it was.
    push(fifo, ramp(100, 1440));
    std::vector<float> shortCycle(480, -1.0f);
    fifo.take(shortCycle.data(), 480, true);
    EXPECT_EQ(shortCycle[0], 1440 - 1.0f);
    EXPECT_EQ(shortCycle[99], 1539 - 1.0f);
    EXPECT_EQ(shortCycle[100], -1.0f);
    // Then the stream waits to refill to 30 ms before it is mixed again.
    push(fifo, ramp(500, 1540));
    std::vector<float> afterUnderrun(480, 0.0f);
    fifo.take(afterUnderrun.data(), 480, false);
    EXPECT_EQ(afterUnderrun, std::vector<float>(480, 0.0f));
    EXPECT_EQ(fifo.frames(), 500u);
}

TEST(CaptureFifo, KeepsWholeFramesAndDropsTheOldestAudioBeyondAQuarterSecond) {
    CaptureFifo fifo(2);
    push(fifo, ramp(2 * 48000, 0));  // one second of stereo
    EXPECT_EQ(fifo.frames(), 1440u);
    std::vector<float> out(2 * 480);
    fifo.take(out.data(), 480, false);
    // The newest 30 ms are what is left, starting on a frame boundary.
    EXPECT_EQ(out.front(), 2 * (48000 - 1440));
    const float odd[3] = {1, 2, 3};
    fifo.push(odd, sizeof odd);  // one and a half frames: the half is dropped
    EXPECT_EQ(fifo.frames(), 961u);
}

}  // namespace
}  // namespace norvi::helper::pulse
