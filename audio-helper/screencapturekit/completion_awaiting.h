#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/error.hpp>
#include <system_error>

#include "audio-helper/screencapturekit/platform/screencapturekit.h"
#include "support/one_shot.h"

namespace norvi::helper {

// Starts a platform call that reports through an SCCompletion and waits for it; rethrows the
// error the completion carries. A wait that is given up fails with operation_aborted.
inline asio::awaitable<void> awaitCompletion(const std::function<void(SCCompletion)>& call) {
    auto done = std::make_shared<OneShot<std::exception_ptr>>();
    call([done](std::exception_ptr error) { done->resume(std::move(error)); });
    const std::optional<std::exception_ptr> error = co_await done->wait();
    if (!error) {
        throw std::system_error(asio::error::operation_aborted);
    }
    if (*error) {
        std::rethrow_exception(*error);
    }
}

}  // namespace norvi::helper
