#pragma once

#include <exception>
#include <memory>
#include <mutex>
#include <variant>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "audio-helper/core/command_options.h"
#include "audio-helper/screencapturekit/platform/screencapturekit.h"
#include "support/one_shot.h"

namespace norvi::helper {

// Turns the system content-sharing picker's observer callbacks into one result: the filter the
// user chose, or an error. Every call on the shared picker runs on the main loop.
class ScreenCaptureKitPickerBridge final : public SCContentSharingPickerObserver,
                                           public std::enable_shared_from_this<ScreenCaptureKitPickerBridge> {
public:
    using Result = std::variant<SCContentFilter, std::exception_ptr>;

    ScreenCaptureKitPickerBridge(ScreenCaptureKit& platform, asio::any_io_executor mainExecutor);

    // Shows the picker for the stream and waits, without a time limit, for the user's choice.
    asio::awaitable<SCContentFilter> pickFilter(const CommandOptions& options, std::shared_ptr<SCStream> stream);

    void contentSharingPickerDidUpdateWith(const SCContentFilter& filter, SCStream* stream) override;
    void contentSharingPickerDidCancelFor(SCStream* stream) override;
    void contentSharingPickerStartDidFailWithError(const PlatformError& error) override;

private:
    void finish(Result result);

    ScreenCaptureKit& platform_;
    asio::any_io_executor mainExecutor_;
    std::mutex stateLock_;
    std::shared_ptr<OneShot<Result>> continuation_;
    std::weak_ptr<SCStream> stream_;
};

}  // namespace norvi::helper
