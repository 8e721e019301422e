#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace norvi::helper {

enum class CATapMuteBehavior : std::int32_t {
    unmuted = 0,
    muted = 1,
    mutedWhenTapped = 2,
};

// The parsed options of the stream commands, handed whole to the command and its capture.
struct CommandOptions {
    std::optional<std::uint32_t> displayID;
    std::vector<std::string> excludedBundleIDs;
    // Seconds; greater than 0 when present, possibly infinite.
    std::optional<double> durationSeconds;
    std::vector<std::int32_t> excludedPids;
    std::optional<std::string> microphone;
    CATapMuteBehavior muteBehavior = CATapMuteBehavior::unmuted;
    // Seconds; greater than 0, possibly infinite.
    double startTimeoutSeconds = 3.0;
    bool usePicker = false;
    std::optional<std::uint32_t> windowID;

    // Parses the arguments after the command word; throws HelperError.
    static CommandOptions parse(const std::vector<std::string>& arguments);
};

}  // namespace norvi::helper
