// Arguments separated by NUL bytes go through the stream commands' option parser. A parse
// either fails with one of the parser's messages or yields options that agree with the input.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio-helper/core/command_options.h"
#include "audio-helper/core/helper_error.h"

using norvi::helper::CommandOptions;
using norvi::helper::HelperError;

namespace {

bool contains(const std::vector<std::string>& arguments, const std::string& value) {
    return std::find(arguments.begin(), arguments.end(), value) != arguments.end();
}

bool knownFailure(const std::string& message) {
    for (const char* prefix : {"Missing value after --", "Invalid --", "Unknown option: ",
                               "Use either --display-id or --window-id, not both.",
                               "Use either --use-picker or an explicit --display-id/--window-id target."}) {
        if (message.starts_with(prefix)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<char>(data[i]);
        }
    }
    CommandOptions options;
    try {
        options = CommandOptions::parse(arguments);
    } catch (const HelperError& error) {
        if (!knownFailure(error.description())) std::abort();
        return 0;
    }
    if (options.durationSeconds && !(*options.durationSeconds > 0)) std::abort();
    if (!(options.startTimeoutSeconds > 0)) std::abort();
    if (options.displayID && options.windowID) std::abort();
    if (options.usePicker && (options.displayID || options.windowID)) std::abort();
    if (options.usePicker && !contains(arguments, "--use-picker")) std::abort();
    if (options.microphone && !contains(arguments, *options.microphone)) std::abort();
    for (const std::string& bundleID : options.excludedBundleIDs) {
        if (!contains(arguments, bundleID)) std::abort();
    }
    const auto pidArguments = std::count(arguments.begin(), arguments.end(), "--exclude-pid");
    if (static_cast<long>(options.excludedPids.size()) > pidArguments) std::abort();
    for (std::int32_t pid : options.excludedPids) {
        const bool spelled = std::any_of(arguments.begin(), arguments.end(), [pid](const std::string& argument) {
            char* end = nullptr;
            return !argument.empty() && std::strtoll(argument.c_str(), &end, 10) == pid && *end == '\0';
        });
        if (!spelled) std::abort();
    }
    return 0;
}
