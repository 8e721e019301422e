#include "audio-helper/screencapturekit/platform/screencapturekit_pulse.h"

#include <unistd.h>
#include <algorithm>
#include <mutex>

#include "audio-helper/core/platform/core_media_simulated.h"
#include "audio-helper/core/platform/pulse_capture.h"

namespace norvi::helper {
namespace {

using pulse::PulseError;

constexpr std::uint32_t onlyDisplayID = 1;

AudioStreamBasicDescription planarStereoFloat() {
    return {.mSampleRate = pulse::captureSampleRate,
            .mFormatID = kAudioFormatLinearPCM,
            .mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                            kAudioFormatFlagIsNonInterleaved,
            .mBytesPerPacket = 4,
            .mFramesPerPacket = 1,
            .mBytesPerFrame = 4,
            .mChannelsPerFrame = 2,
            .mBitsPerChannel = 32};
}

PlatformError platformError(const PulseError& error) {
    return PlatformError(std::string("PulseAudio: ") + error.what());
}

// The audio outputs a stream delivers to, shared with its cycle thread.
struct Outputs {
    struct Output {
        std::weak_ptr<SCStreamOutput> output;
        std::shared_ptr<SerialQueue> queue;
    };
    std::mutex mutex;
    std::vector<Output> audio;
};

class PulseStream final : public SCStream, public std::enable_shared_from_this<PulseStream> {
  public:
    PulseStream(std::shared_ptr<pulse::PulseServerLink> link,
                std::shared_ptr<SerialQueue> callbacks, const SCContentFilter& filter,
                bool excludesCurrentProcess, std::weak_ptr<SCStreamDelegate> delegate)
        : link_(std::move(link)),
          callbacks_(std::move(callbacks)),
          excludesCurrentProcess_(excludesCurrentProcess),
          selection_(selectionFor(filter)),
          delegate_(std::move(delegate)) {}

    ~PulseStream() override {
        if (capture_)
            capture_->stop();
    }

    void addStreamOutput(std::weak_ptr<SCStreamOutput> output, SCStreamOutputType type,
                         std::shared_ptr<SerialQueue> queue) override {
        // Screen outputs are accepted and never served: this system has no screen to capture.
        if (type != SCStreamOutputType::audio)
            return;
        std::lock_guard lock(outputs_->mutex);
        outputs_->audio.push_back({std::move(output), std::move(queue)});
    }

    void startCapture(SCCompletion completion) override {
        std::exception_ptr error;
        try {
            std::lock_guard lock(mutex_);
            if (!capture_) {
                auto capture = std::make_unique<pulse::PulseCapture>(
                    link_->connection(), selection_, std::nullopt, delivery(),
                    [link = link_](const std::string& message) { link->note(message); });
                capture->onServerLost(
                    [self = weak_from_this(), callbacks = callbacks_](const std::string& reason) {
                        callbacks->post([self, reason] {
                            auto stream = self.lock();
                            if (!stream)
                                return;
                            if (auto delegate = stream->delegate_.lock()) {
                                delegate->streamDidStopWithError(
                                    *stream, PlatformError("PulseAudio: " + reason));
                            }
                        });
                    });
                capture->start();
                capture_ = std::move(capture);
            }
        } catch (const PulseError& failure) {
            error = std::make_exception_ptr(platformError(failure));
        }
        callbacks_->post([completion = std::move(completion), error] { completion(error); });
    }

    void stopCapture(SCCompletion completion) override {
        std::unique_ptr<pulse::PulseCapture> capture;
        {
            std::lock_guard lock(mutex_);
            capture = std::move(capture_);
        }
        if (capture)
            capture->stop();
        callbacks_->post([completion = std::move(completion)] { completion(nullptr); });
    }

    void updateContentFilter(const SCContentFilter& filter, SCCompletion completion) override {
        {
            std::lock_guard lock(mutex_);
            selection_ = selectionFor(filter);
            if (capture_)
                capture_->setSelection(selection_);
        }
        callbacks_->post([completion = std::move(completion)] { completion(nullptr); });
    }

  private:
    pulse::CaptureSelection selectionFor(const SCContentFilter& filter) const {
        pulse::CaptureSelection selection;
        for (const SCRunningApplication& application : filter.excludedApplications) {
            selection.processes.push_back(application.processID);
        }
        if (excludesCurrentProcess_)
            selection.processes.push_back(static_cast<std::int32_t>(::getpid()));
        selection.exclusive = true;
        return selection;
    }

    // Each cycle of the mix becomes one sample buffer of two planes, queued to every audio output.
    pulse::PulseCapture::Cycle delivery() {
        return [outputs = outputs_, self = weak_from_this()](std::span<const float> tap,
                                                             std::span<const float>) {
            const std::size_t frames = tap.size() / 2;
            std::vector<float> left(frames);
            std::vector<float> right(frames);
            for (std::size_t i = 0; i < frames; ++i) {
                left[i] = tap[2 * i];
                right[i] = tap[2 * i + 1];
            }
            std::shared_ptr<const CMSampleBuffer> buffer =
                SimulatedSampleBuffer::withFloatPlanes(planarStereoFloat(), {left, right}, 1);
            std::lock_guard lock(outputs->mutex);
            for (const Outputs::Output& output : outputs->audio) {
                output.queue->post([weakOutput = output.output, self, buffer] {
                    auto target = weakOutput.lock();
                    auto stream = self.lock();
                    if (target && stream)
                        target->stream(*stream, buffer, SCStreamOutputType::audio);
                });
            }
        };
    }

    std::shared_ptr<pulse::PulseServerLink> link_;
    std::shared_ptr<SerialQueue> callbacks_;
    bool excludesCurrentProcess_;
    std::shared_ptr<Outputs> outputs_ = std::make_shared<Outputs>();
    std::mutex mutex_;
    pulse::CaptureSelection selection_;
    std::unique_ptr<pulse::PulseCapture> capture_;
    std::weak_ptr<SCStreamDelegate> delegate_;
};

class PulsePicker final : public SCContentSharingPicker {
  public:
    explicit PulsePicker(std::shared_ptr<SerialQueue> callbacks)
        : callbacks_(std::move(callbacks)) {}

    void setConfiguration(const std::optional<SCContentSharingPickerConfiguration>& configuration,
                          SCStream&) override {
        std::lock_guard lock(mutex_);
        excludedBundleIDs_ =
            configuration ? configuration->excludedBundleIDs : std::vector<std::string>();
    }
    void setMaximumStreamCount(std::optional<std::int64_t>) override {}
    void addObserver(std::shared_ptr<SCContentSharingPickerObserver> observer) override {
        std::lock_guard lock(mutex_);
        observers_.push_back(std::move(observer));
    }
    void removeObserver(const SCContentSharingPickerObserver* observer) override {
        std::lock_guard lock(mutex_);
        std::erase_if(observers_,
                      [observer](const auto& entry) { return entry.get() == observer; });
    }
    // The only display is chosen at once; the applications the configuration names stay out.
    void presentPickerForStream(SCStream&, std::int64_t) override;

    void setApplications(std::function<std::vector<SCRunningApplication>()> applications) {
        applications_ = std::move(applications);
    }

  private:
    std::shared_ptr<SerialQueue> callbacks_;
    std::function<std::vector<SCRunningApplication>()> applications_;
    std::mutex mutex_;
    std::vector<std::string> excludedBundleIDs_;
    std::vector<std::shared_ptr<SCContentSharingPickerObserver>> observers_;
};

class PulseScreenCaptureKit final : public ScreenCaptureKit {
  public:
    explicit PulseScreenCaptureKit(std::shared_ptr<pulse::PulseServerLink> link)
        : link_(std::move(link)), picker_(callbacks_) {
        picker_.setApplications([this] {
            try {
                return applicationsOf(link_->connection()->snapshot());
            } catch (const PulseError&) {
                return std::vector<SCRunningApplication>();
            }
        });
    }

    void getShareableContent(
        bool, bool,
        std::function<void(std::optional<SCShareableContent>, std::exception_ptr)> completion)
        override {
        std::optional<SCShareableContent> content;
        std::exception_ptr error;
        try {
            const pulse::PulseSnapshot snapshot = link_->connection()->snapshot();
            content = SCShareableContent{applicationsOf(snapshot), {}};
            // The default sink is the one display; a server without sinks has none.
            if (!snapshot.sinks.empty())
                content->displays.push_back({onlyDisplayID});
        } catch (const PulseError& failure) {
            error = std::make_exception_ptr(platformError(failure));
        }
        callbacks_->post(
            [completion = std::move(completion), content, error] { completion(content, error); });
    }

    std::shared_ptr<SCStream> makeStream(const SCContentFilter& filter,
                                         const SCStreamConfiguration& configuration,
                                         std::weak_ptr<SCStreamDelegate> delegate) override {
        const auto& calls = configuration.setterCalls();
        const bool excludesCurrentProcess =
            std::find(calls.begin(), calls.end(),
                      std::pair<std::string, std::string>("setExcludesCurrentProcessAudio:",
                                                          "YES")) != calls.end();
        return std::make_shared<PulseStream>(link_, callbacks_, filter, excludesCurrentProcess,
                                             std::move(delegate));
    }

    SCContentSharingPicker& sharedPicker() override { return picker_; }

  private:
    static std::vector<SCRunningApplication> applicationsOf(const pulse::PulseSnapshot& snapshot) {
        std::vector<SCRunningApplication> applications;
        for (const pulse::PulseClient& client : snapshot.clients) {
            const std::optional<std::int32_t> pid = pulse::processIDOf(client.properties);
            if (!pid)
                continue;
            auto known = std::find_if(
                applications.begin(), applications.end(),
                [&](const SCRunningApplication& entry) { return entry.processID == *pid; });
            const std::string bundle = pulse::applicationIDOf(client.properties);
            if (known == applications.end()) {
                applications.push_back({*pid, bundle});
            } else if (known->bundleIdentifier.empty()) {
                known->bundleIdentifier = bundle;
            }
        }
        // The processes the clients descend from are applications too (without a bundle ID), so
        // that excluding the host leaves out the child processes that play for it.
        const std::size_t clients = applications.size();
        for (std::size_t i = 0; i < clients; ++i) {
            for (const std::int32_t ancestor : pulse::ancestorsOf(applications[i].processID)) {
                const bool known = std::any_of(
                    applications.begin(), applications.end(),
                    [&](const SCRunningApplication& entry) { return entry.processID == ancestor; });
                if (!known)
                    applications.push_back({ancestor, ""});
            }
        }
        return applications;
    }

    std::shared_ptr<pulse::PulseServerLink> link_;
    std::shared_ptr<SerialQueue> callbacks_ =
        std::make_shared<SerialQueue>("com.norvi.pulse-screencapturekit");
    PulsePicker picker_;
};

void PulsePicker::presentPickerForStream(SCStream&, std::int64_t) {
    std::vector<std::shared_ptr<SCContentSharingPickerObserver>> observers;
    std::vector<std::string> excludedBundleIDs;
    {
        std::lock_guard lock(mutex_);
        observers = observers_;
        excludedBundleIDs = excludedBundleIDs_;
    }
    callbacks_->post([observers, excludedBundleIDs, applications = applications_] {
        std::vector<SCRunningApplication> excluded;
        for (const SCRunningApplication& application : applications()) {
            if (std::find(excludedBundleIDs.begin(), excludedBundleIDs.end(),
                          application.bundleIdentifier) != excludedBundleIDs.end()) {
                excluded.push_back(application);
            }
        }
        const SCContentFilter filter =
            SCContentFilter::initWithDisplay({onlyDisplayID}, excluded, {});
        for (const auto& observer : observers)
            observer->contentSharingPickerDidUpdateWith(filter, nullptr);
    });
}

}  // namespace

std::shared_ptr<ScreenCaptureKit> makePulseScreenCaptureKit(
    std::shared_ptr<pulse::PulseServerLink> link) {
    return std::make_shared<PulseScreenCaptureKit>(std::move(link));
}

}  // namespace norvi::helper
