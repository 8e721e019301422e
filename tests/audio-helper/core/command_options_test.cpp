#include "audio-helper/core/command_options.h"

#include <cmath>

#include <gtest/gtest.h>

#include "audio-helper/core/helper_error.h"

namespace norvi::helper {
namespace {

std::string parseFailure(const std::vector<std::string>& arguments) {
    try {
        CommandOptions::parse(arguments);
    } catch (const HelperError& error) {
        return error.description();
    }
    return "(parsed)";
}

TEST(CommandOptions, DefaultsWithoutArguments) {
    const CommandOptions options = CommandOptions::parse({});
    EXPECT_FALSE(options.displayID);
    EXPECT_TRUE(options.excludedBundleIDs.empty());
    EXPECT_FALSE(options.durationSeconds);
    EXPECT_TRUE(options.excludedPids.empty());
    EXPECT_FALSE(options.microphone);
    EXPECT_EQ(options.muteBehavior, CATapMuteBehavior::unmuted);
    EXPECT_EQ(options.startTimeoutSeconds, 3.0);
    EXPECT_FALSE(options.usePicker);
    EXPECT_FALSE(options.windowID);
}

TEST(CommandOptions, AcceptsEveryOptionAndKeepsRepeats) {
    const CommandOptions options = CommandOptions::parse({
        "--duration", "1e1", "--exclude-pid", "-1", "--exclude-pid", "+42", "--", "--mute", "muted",
        "--exclude-bundle-id", "com.a", "--exclude-bundle-id", "com.a", "--microphone", "First",
        "--microphone", "-Second", "--start-timeout", "0x1p-1",
        "--window-id", "4294967295", "--window-id", "7", "--mute", "muted-when-tapped",
    });
    EXPECT_EQ(options.durationSeconds, 10.0);
    EXPECT_EQ(options.excludedPids, (std::vector<std::int32_t>{-1, 42}));
    EXPECT_EQ(options.excludedBundleIDs, (std::vector<std::string>{"com.a", "com.a"}));
    EXPECT_EQ(options.microphone, "-Second");
    EXPECT_EQ(options.startTimeoutSeconds, 0.5);
    EXPECT_EQ(options.muteBehavior, CATapMuteBehavior::mutedWhenTapped);
    EXPECT_EQ(options.windowID, 7u);
    EXPECT_FALSE(options.displayID);
    EXPECT_TRUE(CommandOptions::parse({"--use-picker", "--use-picker"}).usePicker);
    // The conflict between the picker and a window only shows once all arguments are read.
    EXPECT_EQ(parseFailure({"--use-picker", "--window-id", "7"}),
              "Use either --use-picker or an explicit --display-id/--window-id target.");
}

TEST(CommandOptions, FloatingValuesFollowStrtodInTheCLocale) {
    const struct {
        const char* text;
        double expected;  // 0: refused
    } cases[] = {
        {"1e1", 10}, {"0.25", 0.25}, {"INF", INFINITY}, {"infinity", INFINITY}, {"0x10", 16},
        {"1e-300", 1e-300}, {"0", 0}, {"-2", 0}, {"nan", 0}, {"-inf", 0}, {"", 0}, {" 1", 0},
        {"1 ", 0}, {"1s", 0}, {"1e999", 0}, {"1e-999", 0}, {"1,5", 0}, {"+3", 3},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> arguments = {"--start-timeout", c.text};
        if (c.expected == 0) {
            EXPECT_EQ(parseFailure(arguments), std::string("Invalid --start-timeout value: ") + c.text);
        } else {
            EXPECT_EQ(CommandOptions::parse(arguments).startTimeoutSeconds, c.expected) << c.text;
        }
    }
}

TEST(CommandOptions, IntegerValuesAreSignAndDigitsWithinRange) {
    const struct {
        const char* option;
        const char* text;
        bool accepted;
    } cases[] = {
        {"--exclude-pid", "-2147483648", true}, {"--exclude-pid", "2147483647", true},
        {"--exclude-pid", "2147483648", false}, {"--exclude-pid", "-2147483649", false},
        {"--exclude-pid", "1.5", false},        {"--exclude-pid", "", false},
        {"--exclude-pid", " 1", false},         {"--exclude-pid", "+-1", false},
        {"--exclude-pid", "0x10", false},       {"--display-id", "4294967295", true},
        {"--display-id", "4294967296", false},  {"--display-id", "-1", false},
        {"--display-id", "-0", true},           {"--window-id", "99999999999999999999999", false},
        {"--window-id", "+", false},
    };
    for (const auto& c : cases) {
        const std::string failure = parseFailure({c.option, c.text});
        if (c.accepted) {
            EXPECT_EQ(failure, "(parsed)") << c.option << " " << c.text;
        } else {
            EXPECT_EQ(failure, std::string("Invalid ") + c.option + " value: " + c.text);
        }
    }
}

TEST(CommandOptions, FailureMessages) {
    const struct {
        std::vector<std::string> arguments;
        const char* message;
    } cases[] = {
        {{"--duration"}, "Missing value after --duration."},
        {{"--duration", "--mute"}, "Missing value after --duration."},
        {{"--microphone", "--"}, "Missing value after --microphone."},
        {{"--help"}, "Unknown option: --help"},
        {{"--duration=1"}, "Unknown option: --duration=1"},
        {{"-d", "1"}, "Unknown option: -d"},
        {{"--DURATION", "1"}, "Unknown option: --DURATION"},
        {{"--mute", "Muted"}, "Invalid --mute value: Muted"},
        // Parsing stops at the first bad argument.
        {{"--mute", "x", "--bogus"}, "Invalid --mute value: x"},
        {{"--display-id", "1", "--window-id", "2", "--use-picker"},
         "Use either --display-id or --window-id, not both."},
        {{"--display-id", "1", "--use-picker"},
         "Use either --use-picker or an explicit --display-id/--window-id target."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseFailure(c.arguments), c.message);
    }
}

}  // namespace
}  // namespace norvi::helper
