#include "audio-helper/core/audio_helper.h"

#include <csignal>
#include <pthread.h>

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

#include "audio-helper/core/commands.h"
#include "audio-helper/core/helper_error.h"
#include "audio-helper/core/stderr_writer.h"
#include "audio-helper/core/stream_duration.h"
#include "audio-helper/core/termination_signal.h"
#include "audio-helper/core/usage_text.h"
#include "support/fd_write.h"
#include "support/platform/operating_system.h"

namespace norvi::helper {
namespace {

// Everything after the command word.
std::vector<std::string> commandArguments(const HelperContext& context) {
    return {context.arguments.begin() + 1, context.arguments.end()};
}

}  // namespace

asio::awaitable<void> runAudioHelper(HelperContext& context) {
    if (context.arguments.empty()) {
        throw UsageError("Missing command.");
    }
    const std::string& command = context.arguments.front();
    if (command == "-h" || command == "--help" || command == "help") {
        writeAll(STDOUT_FILENO, std::string(usageText) + "\n");
        co_return;
    }
    const bool known = command == "tap-access" || command == "screen-access" ||
                       command == "sck-stream" || command == "tap-stream" || command == "mic-watch";
    if (!known) {
        throw UsageError("Unknown command: " + command);
    }
    // Options are checked before the platform is set up, so a bad command line fails the same
    // way on every machine.
    std::optional<CommandOptions> options;
    if (command == "sck-stream" || command == "tap-stream") {
        options = CommandOptions::parse(commandArguments(context));
        if (!streamTimeLimit(options->durationSeconds)) {
            catchTerminationSignals();
        }
    }
    context.signalsDecided();
    try {
        context.platform = makeHelperPlatform();
    } catch (const simulation::ScenarioError& error) {
        throw HelperError(error.what());
    }
    if (command == "tap-access") {
        runTapAccessRequest(context);
    } else if (command == "screen-access") {
        runScreenAccess(context);
    } else if (command == "sck-stream") {
        co_await runScreenCaptureKitStream(context, *options);
    } else if (command == "tap-stream") {
        co_await runTapStream(context, *options);
    } else if (context.platform.operatingSystem->isOperatingSystemAtLeast({14, 2, 0})) {
        co_await runMicrophoneWatch(context);
    } else {
        throw HelperError("mic-watch requires macOS 14.2 or newer.");
    }
}

int reportFailure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const UsageError& error) {
        writeStderr("norvi-audio-helper: " + error.description() + "\n\n" + std::string(usageText));
    } catch (const std::exception& error) {
        writeStderr("norvi-audio-helper: " + std::string(error.what()) + "\n");
    } catch (...) {
        writeStderr("norvi-audio-helper: unknown failure\n");
    }
    return 1;
}

int runAudioHelperProgram(int argc, char** argv) {
    // A reader of standard output that goes away shows as a failed write, not as SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    // SIGINT and SIGTERM wait, blocked, until the command has decided how it treats them (a
    // stream without a time limit catches them, everything else keeps their default action),
    // so that one arriving during start-up is neither lost nor fatal too early. Every thread
    // started from here inherits the block; the main loop's thread lifts it for itself.
    sigset_t terminationSignals;
    sigemptyset(&terminationSignals);
    sigaddset(&terminationSignals, SIGINT);
    sigaddset(&terminationSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &terminationSignals, nullptr);
    asio::io_context mainLoop;
    auto mainWork = asio::make_work_guard(mainLoop);
    // The shared executor the command runs on; blocking waits inside a command (a flush, a
    // start with a time limit) take one of its threads, never the main loop.
    asio::thread_pool commandExecutor(2);
    HelperContext context{
        .arguments = {argv + (argc > 0 ? 1 : 0), argv + argc},
        .mainExecutor = mainLoop.get_executor(),
        .platform = {},
        .signalsDecided = [&mainLoop, terminationSignals] {
            asio::post(mainLoop, [terminationSignals] { pthread_sigmask(SIG_UNBLOCK, &terminationSignals, nullptr); });
        },
    };
    int status = 0;
    // The command's own steps run one at a time, on a strand of the shared executor.
    asio::co_spawn(asio::make_strand(commandExecutor), runAudioHelper(context), [&](std::exception_ptr failure) {
        if (failure) {
            status = reportFailure(failure);
        }
        mainWork.reset();
        mainLoop.stop();
    });
    mainLoop.run();
    commandExecutor.join();
    return status;
}

}  // namespace norvi::helper
