#include "audio-helper/core/command_options.h"

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "audio-helper/core/helper_error.h"

namespace norvi::helper {
namespace {

// An optional sign and one or more decimal digits, nothing else, within T's range.
template <typename T>
std::optional<T> parseInteger(const std::string& text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.front() == '+' || digits.front() == '-') {
        return std::nullopt;
    }
    std::uint64_t magnitude = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    if (negative) {
        const auto limit = static_cast<std::uint64_t>(-static_cast<std::int64_t>(
            std::numeric_limits<T>::min()));
        if (magnitude > limit) return std::nullopt;
        return static_cast<T>(-static_cast<std::int64_t>(magnitude));
    }
    if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
        return std::nullopt;
    }
    return static_cast<T>(magnitude);
}

// strtod's syntax in the C locale, consuming the whole text: no leading white space, not
// empty, within the double range; then greater than 0 (infinity is, not-a-number is not).
std::optional<double> parsePositiveDouble(const std::string& text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) {
        return std::nullopt;
    }
    // The helper never changes its locale from "C", so strtod reads the C locale's syntax.
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE) {
        return std::nullopt;
    }
    if (!(value > 0)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

CommandOptions CommandOptions::parse(const std::vector<std::string>& arguments) {
    CommandOptions options;
    std::size_t i = 0;
    auto takeValue = [&](const std::string& option) -> const std::string& {
        if (i + 1 >= arguments.size() || arguments[i + 1].starts_with("--")) {
            throw HelperError("Missing value after " + option + ".");
        }
        return arguments[++i];
    };
    auto bad = [](const std::string& option, const std::string& value) {
        return HelperError("Invalid " + option + " value: " + value);
    };
    for (; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--") {
            continue;
        }
        if (option == "--use-picker") {
            options.usePicker = true;
        } else if (option == "--exclude-bundle-id") {
            options.excludedBundleIDs.push_back(takeValue(option));
        } else if (option == "--microphone") {
            options.microphone = takeValue(option);
        } else if (option == "--duration" || option == "--start-timeout") {
            const std::string& value = takeValue(option);
            const std::optional<double> seconds = parsePositiveDouble(value);
            if (!seconds) throw bad(option, value);
            // Two assignments: a conditional over optional<double> and double would assign a
            // temporary and set neither field.
            if (option == "--duration") {
                options.durationSeconds = *seconds;
            } else {
                options.startTimeoutSeconds = *seconds;
            }
        } else if (option == "--display-id" || option == "--window-id") {
            const std::string& value = takeValue(option);
            const std::optional<std::uint32_t> id = parseInteger<std::uint32_t>(value);
            if (!id) throw bad(option, value);
            (option == "--display-id" ? options.displayID : options.windowID) = *id;
        } else if (option == "--exclude-pid") {
            const std::string& value = takeValue(option);
            const std::optional<std::int32_t> pid = parseInteger<std::int32_t>(value);
            if (!pid) throw bad(option, value);
            options.excludedPids.push_back(*pid);
        } else if (option == "--mute") {
            const std::string& value = takeValue(option);
            if (value == "muted") {
                options.muteBehavior = CATapMuteBehavior::muted;
            } else if (value == "muted-when-tapped") {
                options.muteBehavior = CATapMuteBehavior::mutedWhenTapped;
            } else if (value == "unmuted") {
                options.muteBehavior = CATapMuteBehavior::unmuted;
            } else {
                throw bad(option, value);
            }
        } else {
            throw HelperError("Unknown option: " + option);
        }
    }
    if (options.displayID && options.windowID) {
        throw HelperError("Use either --display-id or --window-id, not both.");
    }
    if (options.usePicker && (options.displayID || options.windowID)) {
        throw HelperError("Use either --use-picker or an explicit --display-id/--window-id target.");
    }
    return options;
}

}  // namespace norvi::helper
