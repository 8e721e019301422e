#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio-helper/core/platform/core_media.h"
#include "audio-helper/core/platform/platform_error.h"
#include "support/serial_queue.h"

// ScreenCaptureKit as the helper uses it: shareable content, content filters, stream
// configuration, streams with their outputs and delegate, and the system content-sharing
// picker. Completions carry a null exception_ptr on success, else a PlatformError.

namespace norvi::simulation {
class Scenario;
}

namespace norvi::helper {

using SCCompletion = std::function<void(std::exception_ptr error)>;

struct SCRunningApplication {
    std::int32_t processID = 0;
    std::string bundleIdentifier;
};

struct SCDisplay {
    std::uint32_t displayID = 0;
};

struct SCShareableContent {
    std::vector<SCRunningApplication> applications;
    std::vector<SCDisplay> displays;
};

// The platform's content styles.
constexpr std::int64_t SCShareableContentStyleWindow = 1;
constexpr std::int64_t SCShareableContentStyleDisplay = 2;

struct SCContentFilter {
    SCDisplay display;
    std::vector<SCRunningApplication> excludedApplications;
    std::vector<std::uint32_t> exceptingWindows;
    std::int64_t style = SCShareableContentStyleDisplay;

    static SCContentFilter initWithDisplay(SCDisplay display, std::vector<SCRunningApplication> excludingApplications,
                                           std::vector<std::uint32_t> exceptingWindows) {
        return {display, std::move(excludingApplications), std::move(exceptingWindows), SCShareableContentStyleDisplay};
    }
};

struct CMTime {
    std::int64_t value = 0;
    std::int32_t timescale = 0;
};

// A stream configuration; it remembers which setters were called, in order, with their values
// as text, so that what the helper configured can be inspected.
class SCStreamConfiguration {
public:
    void setCapturesAudio(bool value) { record("setCapturesAudio:", value ? "YES" : "NO"); }
    void setExcludesCurrentProcessAudio(bool value) {
        record("setExcludesCurrentProcessAudio:", value ? "YES" : "NO");
    }
    void setQueueDepth(std::int64_t value) { record("setQueueDepth:", std::to_string(value)); }
    void setSampleRate(std::int64_t value) { record("setSampleRate:", std::to_string(value)); }
    void setChannelCount(std::int64_t value) { record("setChannelCount:", std::to_string(value)); }
    void setWidth(std::int64_t value) { record("setWidth:", std::to_string(value)); }
    void setHeight(std::int64_t value) { record("setHeight:", std::to_string(value)); }
    void setMinimumFrameInterval(CMTime value) {
        record("setMinimumFrameInterval:", std::to_string(value.value) + "/" + std::to_string(value.timescale));
    }

    const std::vector<std::pair<std::string, std::string>>& setterCalls() const { return calls_; }

private:
    void record(std::string setter, std::string value) { calls_.emplace_back(std::move(setter), std::move(value)); }
    std::vector<std::pair<std::string, std::string>> calls_;
};

enum class SCStreamOutputType { screen = 0, audio = 1, microphone = 2 };

class SCStream;

class SCStreamOutput {
public:
    virtual ~SCStreamOutput() = default;
    // Called on the queue the output was registered with.
    virtual void stream(SCStream& stream, const std::shared_ptr<const CMSampleBuffer>& sampleBuffer,
                        SCStreamOutputType type) = 0;
};

class SCStreamDelegate {
public:
    virtual ~SCStreamDelegate() = default;
    // The platform stopped the stream; called on a thread of the platform's choosing.
    virtual void streamDidStopWithError(SCStream& stream, const PlatformError& error) = 0;
};

class SCStream {
public:
    virtual ~SCStream() = default;
    // Throws PlatformError when the output cannot be registered. The stream keeps a weak
    // reference to the output and delivers its samples on `queue`.
    virtual void addStreamOutput(std::weak_ptr<SCStreamOutput> output, SCStreamOutputType type,
                                 std::shared_ptr<SerialQueue> queue) = 0;
    virtual void startCapture(SCCompletion completion) = 0;
    virtual void stopCapture(SCCompletion completion) = 0;
    virtual void updateContentFilter(const SCContentFilter& filter, SCCompletion completion) = 0;
};

// The platform's picker modes.
constexpr std::uint32_t SCContentSharingPickerModeSingleDisplay = 16;

struct SCContentSharingPickerConfiguration {
    std::uint32_t allowedPickerModes = 0;
    std::vector<std::string> excludedBundleIDs;
    bool allowsChangingSelectedContent = true;
};

class SCContentSharingPickerObserver {
public:
    virtual ~SCContentSharingPickerObserver() = default;
    // The callbacks may arrive on any thread; `stream` may be null.
    virtual void contentSharingPickerDidUpdateWith(const SCContentFilter& filter, SCStream* stream) = 0;
    virtual void contentSharingPickerDidCancelFor(SCStream* stream) = 0;
    virtual void contentSharingPickerStartDidFailWithError(const PlatformError& error) = 0;
};

// The process-wide picker; every call belongs on the main queue.
class SCContentSharingPicker {
public:
    virtual ~SCContentSharingPicker() = default;
    // A configuration of none clears the one set for that stream.
    virtual void setConfiguration(const std::optional<SCContentSharingPickerConfiguration>& configuration,
                                  SCStream& stream) = 0;
    // None: no limit.
    virtual void setMaximumStreamCount(std::optional<std::int64_t> count) = 0;
    virtual void addObserver(std::shared_ptr<SCContentSharingPickerObserver> observer) = 0;
    virtual void removeObserver(const SCContentSharingPickerObserver* observer) = 0;
    virtual void presentPickerForStream(SCStream& stream, std::int64_t contentStyle) = 0;
};

class ScreenCaptureKit {
public:
    virtual ~ScreenCaptureKit() = default;
    // Calls `completion` once, on a thread of the platform's choosing, with the content or an error.
    virtual void getShareableContent(
        bool excludingDesktopWindows, bool onScreenWindowsOnly,
        std::function<void(std::optional<SCShareableContent>, std::exception_ptr)> completion) = 0;
    // The stream keeps a weak reference to its delegate.
    virtual std::shared_ptr<SCStream> makeStream(const SCContentFilter& filter,
                                                 const SCStreamConfiguration& configuration,
                                                 std::weak_ptr<SCStreamDelegate> delegate) = 0;
    virtual SCContentSharingPicker& sharedPicker() = 0;
};

}  // namespace norvi::helper
