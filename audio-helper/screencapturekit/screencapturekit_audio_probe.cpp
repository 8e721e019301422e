#include "audio-helper/screencapturekit/screencapturekit_audio_probe.h"

#include <algorithm>
#include <unistd.h>

#include "audio-helper/core/audio_format_description.h"
#include "audio-helper/core/helper_error.h"
#include "audio-helper/core/stderr_writer.h"
#include "audio-helper/screencapturekit/completion_awaiting.h"
#include "audio-helper/screencapturekit/screencapturekit_picker_bridge.h"

namespace norvi::helper {
namespace {

using ShareableContentResult = std::pair<std::optional<SCShareableContent>, std::exception_ptr>;

asio::awaitable<SCShareableContent> shareableContent(ScreenCaptureKit& platform) {
    auto done = std::make_shared<OneShot<ShareableContentResult>>();
    platform.getShareableContent(false, true, [done](std::optional<SCShareableContent> content, std::exception_ptr error) {
        done->resume({std::move(content), std::move(error)});
    });
    std::optional<ShareableContentResult> result = co_await done->wait();
    if (!result) {
        throw std::system_error(asio::error::operation_aborted);
    }
    if (result->second) {
        std::rethrow_exception(result->second);
    }
    co_return result->first ? std::move(*result->first) : SCShareableContent{};
}

SCStreamConfiguration streamConfiguration() {
    SCStreamConfiguration configuration;
    configuration.setCapturesAudio(true);
    configuration.setExcludesCurrentProcessAudio(true);
    configuration.setQueueDepth(3);
    configuration.setSampleRate(48000);
    configuration.setChannelCount(2);
    configuration.setWidth(2);
    configuration.setHeight(2);
    configuration.setMinimumFrameInterval({1, 30});
    return configuration;
}

}  // namespace

ScreenCaptureKitAudioProbe::ScreenCaptureKitAudioProbe(std::shared_ptr<PcmJsonLineWriter> streamWriter,
                                                       HelperContext& context)
    : context_(context),
      screenOutputQueue_(std::make_shared<SerialQueue>("com.norvi.audio-helper.screencapturekit-screen-output")),
      outputQueue_(std::make_shared<SerialQueue>("com.norvi.audio-helper.screencapturekit-audio-output")),
      streamWriter_(std::move(streamWriter)) {}

std::optional<SCDisplay> ScreenCaptureKitAudioProbe::chooseCaptureDisplay(const std::vector<SCDisplay>& displays,
                                                                          std::uint32_t mainDisplayID) {
    for (const SCDisplay& display : displays) {
        if (display.displayID == mainDisplayID) return display;
    }
    if (displays.empty()) return std::nullopt;
    return displays.front();
}

std::vector<SCRunningApplication> ScreenCaptureKitAudioProbe::excludedApplications(
    const std::vector<SCRunningApplication>& running, const CommandOptions& options, std::int32_t ownPid,
    std::int32_t parentPid) {
    std::vector<SCRunningApplication> excluded;
    for (const SCRunningApplication& application : running) {
        const std::int32_t pid = application.processID;
        const bool listedPid = std::find(options.excludedPids.begin(), options.excludedPids.end(), pid) !=
                               options.excludedPids.end();
        const bool listedBundle = std::find(options.excludedBundleIDs.begin(), options.excludedBundleIDs.end(),
                                            application.bundleIdentifier) != options.excludedBundleIDs.end();
        if (pid == ownPid || pid == parentPid || listedPid || listedBundle) {
            excluded.push_back(application);
        }
    }
    return excluded;
}

asio::awaitable<void> ScreenCaptureKitAudioProbe::start(const CommandOptions& options) {
    ScreenCaptureKit& platform = *context_.platform.screenCaptureKit;
    const SCShareableContent content = co_await shareableContent(platform);
    std::vector<SCRunningApplication> excluded =
        excludedApplications(content.applications, options, ::getpid(), ::getppid());
    const std::optional<SCDisplay> display =
        chooseCaptureDisplay(content.displays, context_.platform.coreGraphics->CGMainDisplayID());
    if (!display) {
        throw HelperError("ScreenCaptureKit did not report an available display.");
    }
    const SCContentFilter filter = SCContentFilter::initWithDisplay(*display, std::move(excluded), {});
    std::shared_ptr<SCStream> stream = platform.makeStream(filter, streamConfiguration(), weak_from_this());
    stream->addStreamOutput(weak_from_this(), SCStreamOutputType::screen, screenOutputQueue_);
    stream->addStreamOutput(weak_from_this(), SCStreamOutputType::audio, outputQueue_);
    {
        std::lock_guard lock(stateMutex_);
        stream_ = stream;
    }
    writeStderr("sck-stream: starting capture\n");
    co_await awaitCompletion([&](SCCompletion completion) { stream->startCapture(std::move(completion)); });
    writeStderr("sck-stream: capture started successfully\n");
    streamWriter_->writeStarted(std::nullopt);
    if (options.usePicker) {
        co_await presentPicker(options);
    }
}

asio::awaitable<void> ScreenCaptureKitAudioProbe::presentPicker(const CommandOptions& options) {
    writeStderr("sck-stream: presenting native ScreenCaptureKit picker\n");
    streamWriter_->writeDiagnostic("sck_picker_presented");
    std::shared_ptr<SCStream> stream;
    {
        std::lock_guard lock(stateMutex_);
        stream = stream_;
    }
    if (!stream) {
        // The platform stopped the stream before the picker could be shown.
        throw HelperError("ScreenCaptureKit stream stopped before a display was picked.");
    }
    auto bridge = std::make_shared<ScreenCaptureKitPickerBridge>(*context_.platform.screenCaptureKit,
                                                                 context_.mainExecutor);
    const SCContentFilter filter = co_await bridge->pickFilter(options, stream);
    co_await updateContentFilter(*stream, filter);
    writeStderr("sck-stream: picker selected style=" + std::to_string(filter.style) + "\n");
}

asio::awaitable<void> ScreenCaptureKitAudioProbe::updateContentFilter(SCStream& stream, const SCContentFilter& filter) {
    co_await awaitCompletion(
        [&](SCCompletion completion) { stream.updateContentFilter(filter, std::move(completion)); });
}

asio::awaitable<void> ScreenCaptureKitAudioProbe::stop() {
    std::shared_ptr<SCStream> stream;
    {
        std::lock_guard lock(stateMutex_);
        stream = stream_;
    }
    if (!stream) {
        resumeStopContinuation();
        co_return;
    }
    try {
        co_await awaitCompletion([&](SCCompletion completion) { stream->stopCapture(std::move(completion)); });
    } catch (const std::exception& error) {
        writeStderr(std::string("sck-stream: stopCapture failed: ") + error.what() + "\n");
    }
    {
        std::lock_guard lock(stateMutex_);
        stream_.reset();
    }
    markStopped();
}

asio::awaitable<void> ScreenCaptureKitAudioProbe::waitUntilStopped() {
    auto continuation = std::make_shared<OneShot<std::monostate>>();
    {
        std::lock_guard lock(stateMutex_);
        if (streamStopped_) {
            co_return;
        }
        stopContinuation_ = continuation;
    }
    // A cancelled wait returns at once; the continuation left behind resumes nobody.
    co_await continuation->wait();
}

bool ScreenCaptureKitAudioProbe::hasEnded() {
    std::lock_guard lock(stateMutex_);
    return streamStopped_;
}

void ScreenCaptureKitAudioProbe::stream(SCStream&, const std::shared_ptr<const CMSampleBuffer>& sampleBuffer,
                                        SCStreamOutputType type) {
    if (!CMSampleBufferIsValid(*sampleBuffer)) {
        return;
    }
    if (type == SCStreamOutputType::screen) {
        if (!sawFirstScreenSample_) {
            sawFirstScreenSample_ = true;
            writeStderr("sck-stream: received first screen sample buffer\n");
        }
        return;
    }
    if (type != SCStreamOutputType::audio) {
        return;
    }
    {
        std::lock_guard lock(stateMutex_);
        if (streamStopped_) {
            return;
        }
    }
    if (!sawFirstAudioSample_) {
        sawFirstAudioSample_ = true;
        const AudioStreamBasicDescription* format = CMAudioFormatDescriptionGetStreamBasicDescription(
            CMSampleBufferGetFormatDescription(*sampleBuffer));
        writeStderr("sck-stream: received first audio sample buffer format=" +
                    (format ? describeAudioFormat(*format) : std::string("format=unknown")) +
                    " samples=" + std::to_string(CMSampleBufferGetNumSamples(*sampleBuffer)) + "\n");
    }
    streamWriter_->recordSampleBuffer(*sampleBuffer);
}

void ScreenCaptureKitAudioProbe::streamDidStopWithError(SCStream&, const PlatformError& error) {
    writeStderr(std::string("sck-stream: stream stopped with error: ") + error.what() + "\n");
    {
        std::lock_guard lock(stateMutex_);
        stream_.reset();
    }
    markStopped();
}

void ScreenCaptureKitAudioProbe::markStopped() {
    {
        std::lock_guard lock(stateMutex_);
        if (streamStopped_) {
            return;
        }
        streamStopped_ = true;
    }
    // Buffers the stream handed over before it stopped are recorded first, so that the ended
    // record is the stream's last.
    outputQueue_->flush();
    streamWriter_->writeEnded();
    streamWriter_->flush();
    resumeStopContinuation();
}

void ScreenCaptureKitAudioProbe::resumeStopContinuation() {
    std::shared_ptr<OneShot<std::monostate>> continuation;
    {
        std::lock_guard lock(stateMutex_);
        continuation = std::move(stopContinuation_);
        stopContinuation_.reset();
    }
    if (continuation) {
        continuation->resume(std::monostate{});
    }
}

}  // namespace norvi::helper
