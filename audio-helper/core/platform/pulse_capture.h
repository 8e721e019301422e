#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "audio-helper/core/platform/pulse_connection.h"

// What the computer plays, captured stream by stream: one monitor stream per playback stream
// (kept up to date as streams come and go), mixed to 48 kHz stereo float, optionally with a
// record stream on a source, delivered in cycles of 10 ms from a thread of its own.

namespace norvi::helper::pulse {

constexpr std::uint32_t captureSampleRate = 48000;
constexpr std::uint32_t captureCycleFrames = 480;

// Which playback streams the mix takes, by the process that plays them.
struct CaptureSelection {
    // Processes named here count with all their descendants (browsers and Electron apps play
    // from child processes).
    std::vector<std::int32_t> processes;
    // True: every stream except those of `processes`; false: only those of `processes`.
    bool exclusive = true;
};

struct CaptureMicrophone {
    std::string source;
    std::uint32_t channels = 1;
};

// A stream's samples on their way from the event thread to the cycle thread. A stream is
// mixed once it holds a little more than one cycle, and waits to refill after running short,
// so the timing jitter of the server's deliveries does not cut the audio into pieces.
class CaptureFifo {
  public:
    explicit CaptureFifo(std::uint32_t channels) : channels_(channels) {}
    void push(const void* bytes, std::size_t size);
    // Adds one cycle of `frames` frames into `out` (or copies it when `add` is false); what the
    // stream lacks stays as it is.
    void take(float* out, std::size_t frames, bool add);
    std::size_t frames() const { return (samples_.size() - read_) / channels_; }

  private:
    std::uint32_t channels_;
    std::vector<float> samples_;
    std::size_t read_ = 0;
    bool primed_ = false;
};

class PulseCapture {
  public:
    // Both spans are interleaved: the tap mix (stereo) and the microphone (empty without one).
    using Cycle =
        std::function<void(std::span<const float> tap, std::span<const float> microphone)>;
    using Note = std::function<void(const std::string&)>;

    PulseCapture(std::shared_ptr<PulseConnection> connection, CaptureSelection selection,
                 std::optional<CaptureMicrophone> microphone, Cycle cycle, Note note);
    ~PulseCapture();
    PulseCapture(const PulseCapture&) = delete;
    PulseCapture& operator=(const PulseCapture&) = delete;

    // Opens the streams and starts the cycles; throws PulseError.
    void start();
    // Returns once the cycle callback has run for the last time and every stream is closed.
    void stop();
    void setSelection(CaptureSelection selection);
    // Called once, from the cycle thread, when the server goes away during the capture.
    void onServerLost(std::function<void(const std::string&)> lost) { lost_ = std::move(lost); }
    // Playback streams monitored right now.
    std::size_t monitoredStreams();

  private:
    struct Stream;

    void markDirty();
    // Opens monitor streams for new playback streams and closes those that went away.
    void reconcile();
    Stream* openStream(const std::string& device, std::uint32_t channels,
                       std::optional<std::uint32_t> playback);
    void closeStream(Stream& stream);
    void runCycles();
    void runControl();

    std::shared_ptr<PulseConnection> connection_;
    std::optional<CaptureMicrophone> microphone_;
    Cycle cycle_;
    Note note_;
    std::function<void(const std::string&)> lost_;

    std::mutex selectionMutex_;
    CaptureSelection selection_;

    // Touched with the event thread's lock held; the fifos also under dataMutex_.
    std::map<std::uint32_t, std::unique_ptr<Stream>> monitors_;
    // Playback streams whose monitor failed, with the monitor source tried: not tried again there.
    std::map<std::uint32_t, std::uint32_t> failed_;
    std::unique_ptr<Stream> microphoneStream_;
    int listener_ = 0;

    std::mutex dataMutex_;

    std::mutex controlMutex_;
    std::condition_variable controlWake_;
    bool dirty_ = false;
    bool stopping_ = false;
    bool started_ = false;
    std::thread cycleThread_;
    std::thread controlThread_;
};

}  // namespace norvi::helper::pulse
