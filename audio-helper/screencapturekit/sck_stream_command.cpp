#include <chrono>
#include <cmath>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "audio-helper/core/commands.h"
#include "audio-helper/core/pcm_json_line_writer.h"
#include "audio-helper/core/stream_duration.h"
#include "audio-helper/core/termination_signal.h"
#include "audio-helper/screencapturekit/screencapturekit_audio_probe.h"

namespace norvi::helper {
namespace {

using namespace asio::experimental::awaitable_operators;

asio::awaitable<void> sleepFor(std::chrono::nanoseconds duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    std::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

std::string describe(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown failure";
    }
}

}  // namespace

asio::awaitable<void> runScreenCaptureKitStream(HelperContext& context, const CommandOptions& options) {
    auto writer = std::make_shared<PcmJsonLineWriter>("sck-stream");
    auto probe = std::make_shared<ScreenCaptureKitAudioProbe>(writer, context);
    std::exception_ptr startFailure;
    try {
        co_await probe->start(options);
    } catch (...) {
        startFailure = std::current_exception();
    }
    if (startFailure) {
        co_await probe->stop();
        writer->writeDiagnostic("stream_start_failed", PcmJsonLineWriter::Details{{"message", describe(startFailure)}});
        writer->flush();
        std::rethrow_exception(startFailure);
    }
    // Whichever ends first ends the run; the other wait is given up at once.
    if (const std::optional<std::chrono::nanoseconds> limit = streamTimeLimit(options.durationSeconds)) {
        co_await (sleepFor(*limit) || probe->waitUntilStopped());
    } else {
        co_await (waitForTerminationSignal() || probe->waitUntilStopped());
    }
    co_await probe->stop();
}

}  // namespace norvi::helper
