#include "tests/audio-helper/pulse/pulse_test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numbers>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

namespace norvi::helper::pulsetest {

namespace {

std::vector<std::uint8_t> base64Decode(const std::string& text) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<std::uint8_t> bytes;
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        const std::size_t value = alphabet.find(c);
        if (value == std::string::npos)
            break;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<std::uint8_t>((bits >> count) & 0xFF));
        }
    }
    return bytes;
}

}  // namespace

std::optional<std::string> testServer() {
    const char* server = std::getenv("NORVI_TEST_PULSE_SERVER");
    if (server == nullptr || *server == '\0')
        return std::nullopt;
    return std::string(server);
}

DetachedProcess::DetachedProcess(const std::vector<std::string>& arguments) {
    int channel[2];
    if (::pipe(channel) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t middle = ::fork();
    if (middle == 0) {
        ::close(channel[0]);
        const pid_t child = ::fork();
        if (child == 0) {
            ::setpgid(0, 0);
            std::vector<char*> argv;
            for (const std::string& argument : arguments)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            if (const char* server = std::getenv("NORVI_TEST_PULSE_SERVER"))
                ::setenv("PULSE_SERVER", server, 1);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        (void)!::write(channel[1], &child, sizeof child);
        ::_exit(0);
    }
    ::close(channel[1]);
    if (::read(channel[0], &pid_, sizeof pid_) != sizeof pid_)
        pid_ = -1;
    ::close(channel[0]);
    int status = 0;
    ::waitpid(middle, &status, 0);
    if (pid_ <= 0)
        throw std::runtime_error("could not start " + arguments.front());
}

DetachedProcess::~DetachedProcess() {
    stop();
}

void DetachedProcess::stop() {
    if (pid_ <= 0)
        return;
    ::kill(-pid_, SIGKILL);
    pid_ = -1;
}

std::string writeTone(const testing::TemporaryDirectory& directory, double frequency,
                      double seconds) {
    const std::uint32_t rate = 48000;
    const auto frames = static_cast<std::uint32_t>(seconds * rate);
    std::string data;
    data.reserve(frames * 2);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const auto sample = static_cast<std::int16_t>(
            std::lround(0.3 * 32767 * std::sin(2 * std::numbers::pi * frequency * i / rate)));
        data.push_back(static_cast<char>(sample & 0xFF));
        data.push_back(static_cast<char>((sample >> 8) & 0xFF));
    }
    auto word = [](std::uint32_t value, int bytes) {
        std::string text;
        for (int i = 0; i < bytes; ++i)
            text.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
        return text;
    };
    const std::string header = "RIFF" + word(36 + static_cast<std::uint32_t>(data.size()), 4) +
                               "WAVEfmt " + word(16, 4) + word(1, 2) + word(1, 2) + word(rate, 4) +
                               word(rate * 2, 4) + word(2, 2) + word(16, 2) + "data" +
                               word(static_cast<std::uint32_t>(data.size()), 4);
    return directory.writeFile("tone-" + std::to_string(static_cast<int>(frequency)) + ".wav",
                               header + data);
}

std::vector<std::string> playerCommand(const std::string& tone, const std::string& sink,
                                       const std::string& applicationID, bool viaShell) {
    std::vector<std::string> command{"paplay", "--latency-msec=100", "-d", sink};
    if (!applicationID.empty())
        command.push_back("--property=application.id=" + applicationID);
    command.push_back(tone);
    if (!viaShell)
        return command;
    std::string line;
    for (const std::string& word : command)
        line += "'" + word + "' ";
    // The shell waits for its child instead of handing its PID over to it.
    return {"/bin/sh", "-c", line + "; true"};
}

std::vector<std::string> recorderCommand(const std::string& source,
                                         const std::string& applicationID) {
    return {"parec", "--latency-msec=20", "-d", source,
            "--property=application.id=" + applicationID};
}

double toneLevel(const std::vector<float>& samples, double sampleRate, double frequency) {
    if (samples.empty())
        return 0;
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / sampleRate);
    double previous = 0;
    double beforePrevious = 0;
    for (const float sample : samples) {
        const double current = sample + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    const double power = previous * previous + beforePrevious * beforePrevious -
                         coefficient * previous * beforePrevious;
    return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(samples.size());
}

std::vector<float> chunkSamples(const std::string& output, double skipSeconds) {
    std::vector<float> samples;
    std::size_t skip = static_cast<std::size_t>(skipSeconds * 16000);
    for (const std::string& line : testing::splitLines(output)) {
        const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (!record.is_object() || record.value("type", "") != "pcm_s16le")
            continue;
        const std::vector<std::uint8_t> bytes = base64Decode(record["data"].get<std::string>());
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
            const auto value = static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8));
            if (skip > 0) {
                --skip;
                continue;
            }
            samples.push_back(static_cast<float>(value) / 32767.0f);
        }
    }
    return samples;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

namespace {

std::vector<pid_t> processesOf(std::initializer_list<const char*> kinds) {
    std::vector<pid_t> pids;
    const std::string server = testServer().value_or("");
    for (const char* kind : kinds) {
        testing::ProcessOptions options;
        options.arguments = {"list", kind};
        options.environment["PULSE_SERVER"] = server;
        const testing::ProcessResult result = testing::runProcess("/usr/bin/pactl", options);
        std::istringstream lines(result.standardOutput);
        for (std::string line; std::getline(lines, line);) {
            const std::size_t at = line.find("application.process.id = \"");
            if (at != std::string::npos)
                pids.push_back(std::stoi(line.substr(at + 26)));
        }
    }
    return pids;
}

}  // namespace

std::vector<pid_t> streamProcesses() {
    return processesOf({"source-outputs", "sink-inputs"});
}

std::vector<pid_t> playbackProcesses() {
    return processesOf({"sink-inputs"});
}

testing::ProcessOptions helperOptions(std::vector<std::string> arguments) {
    testing::ProcessOptions options;
    options.arguments = std::move(arguments);
    options.environment["NORVI_SIMULATION"] = std::nullopt;
    options.environment["PULSE_SERVER"] =
        testServer().value_or("unix:/nonexistent/norvi-test-socket");
    return options;
}

}  // namespace norvi::helper::pulsetest
