#include "audio-helper/core/stream_end.h"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "audio-helper/core/helper_error.h"
#include "audio-helper/core/termination_signal.h"

namespace norvi::helper {

using namespace asio::experimental::awaitable_operators;

namespace {

// A cancelled sleep returns at once, so that it can lose a race.
asio::awaitable<void> sleepFor(std::chrono::nanoseconds duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    std::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

}  // namespace

asio::awaitable<void> waitForEndOfStream(PcmJsonLineWriter& writer,
                                         std::optional<std::chrono::nanoseconds> limit) {
    // Whichever ends first ends the wait; the other is given up at once. A run with a time
    // limit leaves SIGINT and SIGTERM at their default action.
    if (limit) {
        co_await (sleepFor(*limit) || writer.waitUntilOutputFails());
    } else {
        co_await (waitForTerminationSignal() || writer.waitUntilOutputFails());
    }
}

void requireWrittenOutput(PcmJsonLineWriter& writer) {
    if (std::optional<std::string> failure = writer.outputFailure()) {
        throw HelperError(*failure);
    }
}

}  // namespace norvi::helper
