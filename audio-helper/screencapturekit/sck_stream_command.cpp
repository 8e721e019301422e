#include <asio/experimental/awaitable_operators.hpp>

#include "audio-helper/core/commands.h"
#include "audio-helper/core/pcm_json_line_writer.h"
#include "audio-helper/core/stream_duration.h"
#include "audio-helper/core/stream_end.h"
#include "audio-helper/core/termination_signal.h"
#include "audio-helper/screencapturekit/screencapturekit_audio_probe.h"

namespace norvi::helper {
namespace {

using namespace asio::experimental::awaitable_operators;

std::string describe(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown failure";
    }
}

// The start's failure, or null; never throws, so that it can race a signal.
asio::awaitable<std::exception_ptr> startCapture(ScreenCaptureKitAudioProbe& probe, const CommandOptions& options) {
    try {
        co_await probe.start(options);
    } catch (...) {
        co_return std::current_exception();
    }
    co_return nullptr;
}

}  // namespace

asio::awaitable<void> runScreenCaptureKitStream(HelperContext& context, const CommandOptions& options) {
    const std::optional<std::chrono::nanoseconds> limit = streamTimeLimit(options.durationSeconds);
    auto writer = std::make_shared<PcmJsonLineWriter>("sck-stream");
    auto probe = std::make_shared<ScreenCaptureKitAudioProbe>(writer, context);
    std::exception_ptr startFailure;
    bool stopRequested = false;
    if (limit) {
        startFailure = co_await startCapture(*probe, options);
    } else {
        // Without a time limit a signal ends the run even while the start (or the picker) is
        // still pending: the start is given up and the stream stopped as usual. The dispatcher
        // has been catching the signals since start-up.
        auto outcome = co_await (startCapture(*probe, options) || waitForTerminationSignal());
        if (outcome.index() == 0) {
            startFailure = std::get<0>(outcome);
        } else {
            stopRequested = true;
        }
    }
    if (startFailure && !stopRequested) {
        co_await probe->stop();
        writer->writeDiagnostic("stream_start_failed", PcmJsonLineWriter::Details{{"message", describe(startFailure)}});
        writer->flush();
        std::rethrow_exception(startFailure);
    }
    // Whichever ends first ends the run; the other wait is given up at once.
    if (!stopRequested) {
        co_await (waitForEndOfStream(*writer, limit) || probe->waitUntilStopped());
    }
    co_await probe->stop();
    if (!probe->hasEnded()) {
        // A signal gave up the start before there was a stream to end: the output still ends
        // with the ended record, as every stopped stream's does.
        writer->writeEnded();
        writer->flush();
    }
    requireWrittenOutput(*writer);
}

}  // namespace norvi::helper
