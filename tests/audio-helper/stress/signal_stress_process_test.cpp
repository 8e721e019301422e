// Bursts of SIGINT and SIGTERM against the stream commands without a duration, at start-up,
// while chunks flow and during the shutdown the first signal began. Whatever the timing, a run
// must end by itself with status 0 and leave standard output as whole JSON lines that end with
// exactly one "stream_ended".

#include <sys/types.h>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/base64_decode.h"
#include "tests/support/process_runner.h"

namespace norvi::testing {
namespace {

using nlohmann::json;

enum class Phase { startUp, streaming, shutdown };

const char* phaseName(Phase phase) {
    switch (phase) {
        case Phase::startUp:
            return "start-up";
        case Phase::streaming:
            return "streaming";
        case Phase::shutdown:
            return "shutdown";
    }
    return "?";
}

// One run's timing, drawn from a generator seeded with the run's number so that a failing run
// can be repeated exactly.
struct RunPlan {
    int number = 0;
    Phase phase = Phase::startUp;
    // Start-up: after the helper has taken the signals over. Shutdown: after the first signal.
    std::chrono::microseconds delay{0};
    // Streaming: the burst follows this many lines (stream_started and at least one chunk).
    std::size_t linesBefore = 2;
    // Each round sends both signals, in either order, with a pause before the next round.
    struct Round {
        bool interruptFirst = true;
        std::chrono::microseconds pauseAfter{0};
    };
    std::vector<Round> rounds;
    // Shutdown: the signal that starts it.
    int firstSignal = SIGTERM;

    static RunPlan draw(int number) {
        std::mt19937 random(static_cast<std::mt19937::result_type>(number) * 7919u + 17u);
        auto between = [&random](int low, int high) {
            return std::uniform_int_distribution<int>(low, high)(random);
        };
        RunPlan plan;
        plan.number = number;
        plan.phase = static_cast<Phase>(number % 3);
        plan.delay = std::chrono::microseconds(between(0, 4) == 0 ? 0 : between(1, 3000));
        plan.linesBefore = static_cast<std::size_t>(between(2, 4));
        plan.firstSignal = between(0, 1) == 0 ? SIGINT : SIGTERM;
        const int rounds = between(1, 4);
        for (int i = 0; i < rounds; ++i) {
            plan.rounds.push_back(
                {between(0, 1) == 0, std::chrono::microseconds(between(0, 2) * between(0, 500))});
        }
        return plan;
    }

    std::string describe() const {
        std::ostringstream text;
        text << "run " << number << " (" << phaseName(phase);
        if (phase == Phase::streaming) {
            text << " after " << linesBefore << " lines";
        } else if (phase == Phase::shutdown) {
            text << ", first " << (firstSignal == SIGINT ? "SIGINT" : "SIGTERM");
        }
        if (phase != Phase::streaming) {
            text << ", burst " << delay.count() << " us later";
        }
        text << ", " << rounds.size() << " rounds)";
        return text.str();
    }
};

// The signals as /proc/PID/status shows them: bit n-1 stands for signal n.
constexpr std::uint64_t terminationSignalBits = (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1));

// True once the helper's own image runs (not the test's, between fork and exec) and holds SIGINT
// and SIGTERM blocked, caught or ignored: from then on a signal is the program's to handle.
// Before that a signal gets its default action, which is no fault of the program.
bool handlesTerminationSignals(pid_t pid, const std::filesystem::path& program) {
    const std::string process = "/proc/" + std::to_string(pid);
    std::error_code error;
    if (std::filesystem::read_symlink(process + "/exe", error) != program || error) {
        return false;
    }
    std::ifstream status(process + "/status");
    std::uint64_t handled = 0;
    for (std::string line; std::getline(status, line);) {
        for (const std::string_view field : {"SigBlk:", "SigIgn:", "SigCgt:"}) {
            if (line.starts_with(field)) {
                handled |= std::stoull(line.substr(field.size()), nullptr, 16);
            }
        }
    }
    return (handled & terminationSignalBits) == terminationSignalBits;
}

bool waitUntilSignalsHandled(pid_t pid, const std::filesystem::path& program) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!handlesTerminationSignals(pid, program)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

void sleepFor(std::chrono::microseconds duration) {
    if (duration.count() > 0) {
        std::this_thread::sleep_for(duration);
    }
}

void sendBurst(RunningProcess& helper, const RunPlan& plan) {
    for (const RunPlan::Round& round : plan.rounds) {
        helper.sendSignal(round.interruptFirst ? SIGINT : SIGTERM);
        helper.sendSignal(round.interruptFirst ? SIGTERM : SIGINT);
        sleepFor(round.pauseAfter);
    }
}

// A stopping helper ends within milliseconds; one still running after this has lost the signal,
// and waiting longer would only slow the remaining runs.
constexpr std::chrono::seconds stopTimeLimit{10};

struct Command {
    std::string name;
    // tap-stream writes "stream_started" before it waits for a signal; sck-stream may be
    // stopped while its start is still pending, before it has written it.
    bool alwaysStarts;
};

void PrintTo(const Command& command, std::ostream* out) {
    *out << command.name;
}

struct Outcome {
    std::vector<std::string> broken;
    bool started = false;
};

// Checks everything a run must leave, whatever the signals' timing.
Outcome check(const ProcessResult& result, const Command& command) {
    Outcome outcome;
    auto broken = [&outcome](std::string what) { outcome.broken.push_back(std::move(what)); };
    if (result.timedOut) {
        broken("still running " + std::to_string(stopTimeLimit.count()) +
               " s after the signals (then killed)");
    }
    if (result.termSignal != 0) {
        broken("ended by signal " + std::to_string(result.termSignal));
    } else if (result.exitStatus != 0) {
        broken("exit status " + std::to_string(result.exitStatus));
    }
    const std::string& output = result.standardOutput;
    if (!output.empty() && output.back() != '\n') {
        broken("standard output ends inside a line");
    }
    const std::vector<std::string> lines = splitLines(output);
    std::size_t ended = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const json record = json::parse(lines[i], nullptr, false);
        const std::string at = "line " + std::to_string(i + 1) + ": ";
        if (record.is_discarded() || !record.is_object() || !record.contains("type") ||
            !record["type"].is_string()) {
            broken(at + "not a JSON record: " + lines[i].substr(0, 120));
            continue;
        }
        const std::string type = record["type"];
        if (type == "stream_started") {
            outcome.started = true;
            if (i != 0) {
                broken(at + "stream_started after other records");
            }
        } else if (type == "pcm_s16le") {
            const json data = record.value("data", json());
            if (record.value("frames", json()) != json(1600) || !data.is_string() ||
                data.get<std::string>().size() != 4268 ||
                decodeBase64(data.get<std::string>()).size() != 3200) {
                broken(at + "not a whole chunk of 1600 frames");
            }
        } else if (type == "stream_ended") {
            ++ended;
            if (record != json({{"command", command.name}, {"type", "stream_ended"}})) {
                broken(at + "unexpected stream_ended record: " + lines[i]);
            }
        } else {
            broken(at + "unexpected record: " + lines[i].substr(0, 120));
        }
    }
    if (command.alwaysStarts && !outcome.started) {
        broken("no stream_started");
    }
    if (ended != 1) {
        broken(std::to_string(ended) + " stream_ended records");
    }
    if (lines.empty() || lines.back().find("\"type\":\"stream_ended\"") == std::string::npos) {
        broken("the last line is not stream_ended");
    }
    return outcome;
}

// The beginning and the end of an output, enough to see what went wrong.
std::string excerpt(const std::string& text) {
    const std::vector<std::string> lines = splitLines(text);
    std::string shown;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i < 3 || i + 3 >= lines.size()) {
            shown += lines[i].substr(0, 160) + "\n";
        } else if (i == 3) {
            shown += "... " + std::to_string(lines.size() - 6) + " lines ...\n";
        }
    }
    return shown;
}

class SignalStress : public ::testing::TestWithParam<Command> {};

// Enough runs to meet each window many times, few enough to keep the ASan build quick.
constexpr int runsPerCommand = 42;

TEST_P(SignalStress, EveryBurstEndsTheStreamWithOneEndRecordAndStatusZero) {
    const Command& command = GetParam();
    const std::filesystem::path program = std::filesystem::canonical(NORVI_AUDIO_HELPER_PROGRAM);
    ProcessOptions options;
    options.arguments = {command.name};
    options.environment["NORVI_SIMULATION"] = "default";

    int runsByPhase[3] = {};
    int withoutStart = 0;
    int failed = 0;
    for (int number = 0; number < runsPerCommand; ++number) {
        const RunPlan plan = RunPlan::draw(number);
        SCOPED_TRACE(command.name + " " + plan.describe());
        RunningProcess helper(program.string(), options);
        switch (plan.phase) {
            case Phase::startUp:
                ASSERT_TRUE(waitUntilSignalsHandled(helper.pid(), program));
                sleepFor(plan.delay);
                sendBurst(helper, plan);
                break;
            case Phase::streaming:
                ASSERT_TRUE(helper.waitForLines(plan.linesBefore));
                sendBurst(helper, plan);
                break;
            case Phase::shutdown:
                ASSERT_TRUE(helper.waitForLines(1));
                helper.sendSignal(plan.firstSignal);
                sleepFor(plan.delay);
                sendBurst(helper, plan);
                break;
        }
        const ProcessResult result = helper.wait(stopTimeLimit);
        const Outcome outcome = check(result, command);
        ++runsByPhase[static_cast<int>(plan.phase)];
        withoutStart += outcome.started ? 0 : 1;
        if (!outcome.broken.empty()) {
            ++failed;
            std::string broken;
            for (const std::string& what : outcome.broken) {
                broken += "  " + what + "\n";
            }
            ADD_FAILURE() << "broken:\n"
                          << broken << "standard output:\n"
                          << excerpt(result.standardOutput) << "standard error:\n"
                          << result.standardError;
        }
    }
    std::cout << command.name << ": " << runsPerCommand << " runs (" << runsByPhase[0]
              << " at start-up, " << runsByPhase[1] << " while streaming, " << runsByPhase[2]
              << " during shutdown), " << withoutStart << " ended before stream_started, " << failed
              << " broke an invariant\n";
}

INSTANTIATE_TEST_SUITE_P(StreamCommands, SignalStress,
                         ::testing::Values(Command{"tap-stream", true},
                                           Command{"sck-stream", false}),
                         [](const ::testing::TestParamInfo<Command>& info) {
                             return info.param.name == "tap-stream" ? "TapStream" : "SckStream";
                         });

}  // namespace
}  // namespace norvi::testing
