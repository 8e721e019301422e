#include "audio-helper/screencapturekit/screencapturekit_picker_bridge.h"

#include <asio/post.hpp>

#include "audio-helper/core/helper_error.h"

namespace norvi::helper {

ScreenCaptureKitPickerBridge::ScreenCaptureKitPickerBridge(ScreenCaptureKit& platform,
                                                           asio::any_io_executor mainExecutor)
    : platform_(platform), mainExecutor_(std::move(mainExecutor)) {}

asio::awaitable<SCContentFilter> ScreenCaptureKitPickerBridge::pickFilter(const CommandOptions& options,
                                                                          std::shared_ptr<SCStream> stream) {
    auto continuation = std::make_shared<OneShot<Result>>();
    {
        std::lock_guard lock(stateLock_);
        continuation_ = continuation;
        stream_ = stream;
    }
    asio::post(mainExecutor_, [self = shared_from_this(), weakStream = std::weak_ptr(stream),
                               excluded = options.excludedBundleIDs] {
        const std::shared_ptr<SCStream> stream = weakStream.lock();
        if (!stream) {
            self->contentSharingPickerStartDidFailWithError(
                PlatformError("The stream ended before the picker could be shown."));
            return;
        }
        SCContentSharingPicker& picker = self->platform_.sharedPicker();
        const SCContentSharingPickerConfiguration configuration{
            .allowedPickerModes = SCContentSharingPickerModeSingleDisplay,
            .excludedBundleIDs = excluded,
            .allowsChangingSelectedContent = false,
        };
        picker.setMaximumStreamCount(1);
        picker.addObserver(self);
        picker.setConfiguration(configuration, *stream);
        picker.presentPickerForStream(*stream, SCShareableContentStyleDisplay);
    });
    // Only the picker's bookkeeping refers to the stream from now on, and weakly.
    stream.reset();
    std::optional<Result> result = co_await continuation->wait();
    if (!result) {
        throw HelperError("ScreenCaptureKit selection was abandoned.");
    }
    if (auto* error = std::get_if<std::exception_ptr>(&*result)) {
        std::rethrow_exception(*error);
    }
    co_return std::get<SCContentFilter>(*result);
}

void ScreenCaptureKitPickerBridge::contentSharingPickerDidUpdateWith(const SCContentFilter& filter, SCStream*) {
    finish(filter);
}

void ScreenCaptureKitPickerBridge::contentSharingPickerDidCancelFor(SCStream*) {
    finish(std::make_exception_ptr(HelperError("ScreenCaptureKit selection was cancelled.")));
}

void ScreenCaptureKitPickerBridge::contentSharingPickerStartDidFailWithError(const PlatformError& error) {
    finish(std::make_exception_ptr(error));
}

void ScreenCaptureKitPickerBridge::finish(Result result) {
    std::shared_ptr<OneShot<Result>> continuation;
    {
        std::lock_guard lock(stateLock_);
        continuation = std::move(continuation_);
        continuation_.reset();
    }
    std::shared_ptr<SCStream> stream;
    {
        std::lock_guard lock(stateLock_);
        stream = stream_.lock();
        stream_.reset();
    }
    asio::post(mainExecutor_, [self = shared_from_this(), stream] {
        SCContentSharingPicker& picker = self->platform_.sharedPicker();
        picker.removeObserver(self.get());
        if (stream) {
            picker.setConfiguration(std::nullopt, *stream);
        }
        picker.setMaximumStreamCount(std::nullopt);
    });
    if (continuation) {
        continuation->resume(std::move(result));
    }
}

}  // namespace norvi::helper
