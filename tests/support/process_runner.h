#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace norvi::testing {

struct ProcessOptions {
    std::vector<std::string> arguments;
    // Added to (or replacing) the test's own environment; a value of std::nullopt removes
    // the variable.
    std::map<std::string, std::optional<std::string>> environment;
    // Written to the child's standard input, which is then closed (unless keepStdinOpen).
    std::string standardInput;
    bool keepStdinOpen = false;
    // The read end of the child's standard output is closed from the start, so that its first
    // write fails with EPIPE.
    bool stdoutClosed = false;
};

struct ProcessResult {
    std::string standardOutput;
    std::string standardError;
    // The exit status, or -1 when the process ended by a signal.
    int exitStatus = -1;
    // The signal that ended the process, or 0.
    int termSignal = 0;
    bool timedOut = false;
};

// A child process with its three standard streams on pipes; output is collected on a reader
// thread as it arrives. A process still running when the object goes is killed.
class RunningProcess {
public:
    RunningProcess(const std::string& program, const ProcessOptions& options);
    ~RunningProcess();
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;

    pid_t pid() const { return pid_; }
    void sendSignal(int signal);
    bool writeStdin(const std::string& bytes);
    void closeStdin();
    // Stops reading standard output and closes its read end, as a reader that goes away does:
    // the child's next write to it fails with EPIPE. What was read so far stays.
    void closeStdout();

    // Waits until `done` holds for the standard output collected so far; false on time-out.
    bool waitForOutput(const std::function<bool(const std::string&)>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits until standard output holds `count` line feeds.
    bool waitForLines(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::string standardOutput();
    std::string standardError();

    // Waits for the process to end; kills it after the time-out (and says so in the result).
    ProcessResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));

private:
    void readOutput(int stdoutFd, int stderrFd);

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    // Wakes the reader thread, which owns the read ends, to close standard output.
    int wakeFd_ = -1;
    bool closeStdoutRequested_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string stdout_;
    std::string stderr_;
    bool outputClosed_ = false;
    std::thread reader_;
    std::optional<ProcessResult> result_;
};

// Runs a program to the end with the given options.
ProcessResult runProcess(const std::string& program, const ProcessOptions& options,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Standard output split into lines (without their line feeds); a last unterminated piece is
// kept as a line.
std::vector<std::string> splitLines(const std::string& text);

// A scratch directory removed with the object.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    const std::string& path() const { return path_; }
    // Writes a file in the directory and returns its path.
    std::string writeFile(const std::string& name, const std::string& contents) const;

private:
    std::string path_;
};

std::string readFile(const std::string& path);

}  // namespace norvi::testing
