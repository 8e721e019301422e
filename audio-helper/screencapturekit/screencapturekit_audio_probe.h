#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include <asio/awaitable.hpp>

#include "audio-helper/core/command_options.h"
#include "audio-helper/core/helper_context.h"
#include "audio-helper/core/pcm_json_line_writer.h"
#include "audio-helper/screencapturekit/platform/screencapturekit.h"
#include "support/one_shot.h"
#include "support/serial_queue.h"

namespace norvi::helper {

// Captures what the computer plays through a ScreenCaptureKit stream over one display,
// leaving out the helper, its parent and the applications the options name, and feeds every
// audio sample buffer to the writer. It writes the stream's started and ended records and
// keeps the stream's end observable.
class ScreenCaptureKitAudioProbe final : public SCStreamOutput,
                                         public SCStreamDelegate,
                                         public std::enable_shared_from_this<ScreenCaptureKitAudioProbe> {
public:
    ScreenCaptureKitAudioProbe(std::shared_ptr<PcmJsonLineWriter> streamWriter, HelperContext& context);

    // Returns once the stream runs (and, with usePicker, once the picked display is captured).
    asio::awaitable<void> start(const CommandOptions& options);
    // Ends the stream and writes the ended record once; never fails.
    asio::awaitable<void> stop();
    // Returns when the stream has ended, or at once when the waiting operation is cancelled.
    asio::awaitable<void> waitUntilStopped();
    // Whether the stream has ended and its ended record has been written.
    bool hasEnded();
    asio::awaitable<void> updateContentFilter(SCStream& stream, const SCContentFilter& filter);

    void stream(SCStream& stream, const std::shared_ptr<const CMSampleBuffer>& sampleBuffer,
                SCStreamOutputType type) override;
    void streamDidStopWithError(SCStream& stream, const PlatformError& error) override;

    // The main display when the platform reports it, else the first display, else none.
    static std::optional<SCDisplay> chooseCaptureDisplay(const std::vector<SCDisplay>& displays,
                                                         std::uint32_t mainDisplayID);
    // The running applications to leave out of the capture, in the platform's order.
    static std::vector<SCRunningApplication> excludedApplications(const std::vector<SCRunningApplication>& running,
                                                                  const CommandOptions& options,
                                                                  std::int32_t ownPid, std::int32_t parentPid);

private:
    asio::awaitable<void> presentPicker(const CommandOptions& options);
    void markStopped();
    void resumeStopContinuation();

    HelperContext& context_;
    std::shared_ptr<SerialQueue> screenOutputQueue_;
    std::shared_ptr<SerialQueue> outputQueue_;
    std::shared_ptr<PcmJsonLineWriter> streamWriter_;
    // Each touched only by the queue of its output.
    bool sawFirstAudioSample_ = false;
    bool sawFirstScreenSample_ = false;

    // Guards the three fields below, which the delegate callback and the command's task share.
    std::mutex stateMutex_;
    std::shared_ptr<OneShot<std::monostate>> stopContinuation_;
    std::shared_ptr<SCStream> stream_;
    bool streamStopped_ = false;
};

}  // namespace norvi::helper
