#include "apple-engine/engine_main.h"

#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <exception>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "apple-engine/commands.h"
#include "apple-engine/helper_error.h"
#include "apple-engine/output.h"
#include "support/fd_write.h"

namespace norvi::engine {

const std::string_view usage =
    "Usage:\n"
    "  norvi-apple-engine capabilities\n"
    "  norvi-apple-engine transcribe --language <code> [--target <code>] [--vocabulary <json "
    "array>]\n"
    "  norvi-apple-engine translate --language <code> --target <code>\n"
    "\n"
    "transcribe reads raw 16 kHz mono Int16 PCM on stdin until EOF and prints JSON lines on "
    "stdout.\n"
    "--vocabulary is a JSON array of words and names recognition is biased toward.\n"
    "translate reads UTF-8 text on stdin until EOF and prints its translation as one JSON line.";

namespace {

std::optional<std::string> optionValue(const ParsedOptions& options, const std::string& name) {
    const auto found = options.find(name);
    if (found == options.end())
        return std::nullopt;
    return found->second;
}

// The platform comes after the command line, so a bad command line fails the same way on
// every machine.
void preparePlatform(EngineContext& context) {
    try {
        context.platform = context.makePlatform();
    } catch (const simulation::ScenarioError& error) {
        throw HelperError(error.what());
    }
}

}  // namespace

asio::awaitable<void> runMain(EngineContext& context) {
    if (context.arguments.empty()) {
        throw HelperError("Missing command.");
    }
    const std::string command = context.arguments.front();
    const std::vector<std::string> rest(context.arguments.begin() + 1, context.arguments.end());
    if (command == "-h" || command == "--help" || command == "help") {
        writeAll(STDOUT_FILENO, std::string(usage) + "\n");
    } else if (command == "capabilities") {
        preparePlatform(context);
        co_await runCapabilities(context);
    } else if (command == "transcribe") {
        const ParsedOptions options =
            parseOptions(rest, {"--language", "--target", "--vocabulary"});
        std::optional<std::string> language = optionValue(options, "--language");
        if (!language) {
            throw HelperError("transcribe needs --language.");
        }
        const auto vocabularyOption = options.find("--vocabulary");
        // Built before the co_await: g++ 12 destroys a conditional's temporary in a coroutine's
        // call arguments twice.
        std::vector<std::string> vocabulary;
        if (vocabularyOption != options.end()) {
            vocabulary = parseVocabulary(vocabularyOption->second);
        }
        std::optional<std::string> target = optionValue(options, "--target");
        preparePlatform(context);
        co_await runTranscribe(context, std::move(*language), std::move(target),
                               std::move(vocabulary));
    } else if (command == "translate") {
        const ParsedOptions options = parseOptions(rest, {"--language", "--target"});
        std::optional<std::string> language = optionValue(options, "--language");
        std::optional<std::string> target = optionValue(options, "--target");
        if (!language || !target) {
            throw HelperError("translate needs --language and --target.");
        }
        preparePlatform(context);
        co_await runTranslate(context, std::move(*language), std::move(*target));
    } else {
        throw HelperError("Unknown command: " + command);
    }
}

namespace {

int reportFailure(std::exception_ptr failure) {
    std::string message;
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        message = error.what();
    } catch (...) {
        message = "Unknown failure.";
    }
    writeJSONLine(ErrorEvent{message});
    writeStderr("norvi-apple-engine: " + message + "\n");
    return 1;
}

}  // namespace

int runEngineProgram(int argc, char** argv) {
    // A reader of standard output that goes away shows as a failed write, not as SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    asio::io_context mainLoop;
    EngineContext context;
    context.arguments.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::exception_ptr failure;
    bool commandEnded = false;
    asio::co_spawn(mainLoop, runMain(context), [&](std::exception_ptr error) {
        failure = error;
        commandEnded = true;
        // Nothing is waited for once the command has ended: tasks still queued are dropped.
        mainLoop.stop();
    });
    // Once standard output is gone nothing the command could still produce has anywhere to
    // go: the run ends at once.
    setOutputFailureHandler([&mainLoop] { asio::post(mainLoop, [&mainLoop] { mainLoop.stop(); }); });
    mainLoop.run();
    setOutputFailureHandler({});
    const int status = failure ? reportFailure(failure) : 0;
    if (const std::optional<std::string> lost = outputFailure()) {
        writeStderr("norvi-apple-engine: " + *lost + "\n");
        if (!commandEnded) {
            // The command is abandoned where it stands, its threads and tasks included.
            std::_Exit(1);
        }
        return 1;
    }
    return status;
}

}  // namespace norvi::engine
