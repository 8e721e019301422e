#include "tests/support/process_runner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace norvi::testing {
namespace {

void makePipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
}

std::vector<std::string> childEnvironment(const ProcessOptions& options) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : options.environment) {
        if (value) {
            merged[name] = *value;
        } else {
            merged.erase(name);
        }
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
    return result;
}

}  // namespace

RunningProcess::RunningProcess(const std::string& program, const ProcessOptions& options) {
    int in[2], out[2], err[2];
    makePipe(in);
    makePipe(out);
    makePipe(err);
    std::vector<std::string> environment = childEnvironment(options);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> arguments = options.arguments;
    arguments.insert(arguments.begin(), program);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid_ == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        // The child starts with default signal handling, whatever the test process set.
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        for (int signal : {SIGINT, SIGTERM, SIGPIPE}) ::sigaction(signal, &defaults, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (options.stdoutClosed) {
        ::close(out[0]);
        out[0] = -1;
    }
    stdinFd_ = in[1];
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    reader_ = std::thread([this, stdoutFd = out[0], stderrFd = err[0]] { readOutput(stdoutFd, stderrFd); });
    if (!options.standardInput.empty()) writeStdin(options.standardInput);
    if (!options.keepStdinOpen) closeStdin();
}

RunningProcess::~RunningProcess() {
    if (!result_) {
        sendSignal(SIGKILL);
        wait(std::chrono::seconds(5));
    }
    closeStdin();
    if (reader_.joinable()) reader_.join();
    ::close(wakeFd_);
}

void RunningProcess::sendSignal(int signal) {
    if (!result_ && pid_ > 0) ::kill(pid_, signal);
}

bool RunningProcess::writeStdin(const std::string& bytes) {
    if (stdinFd_ < 0) return false;
    // The child may exit without reading; a write to a closed pipe must not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const ssize_t written = ::write(stdinFd_, bytes.data() + offset, bytes.size() - offset);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        offset += static_cast<std::size_t>(written);
    }
    return true;
}

void RunningProcess::closeStdin() {
    if (stdinFd_ >= 0) {
        ::close(stdinFd_);
        stdinFd_ = -1;
    }
}

void RunningProcess::closeStdout() {
    {
        std::lock_guard lock(mutex_);
        closeStdoutRequested_ = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void RunningProcess::readOutput(int stdoutFd, int stderrFd) {
    pollfd fds[3] = {{stdoutFd, POLLIN, 0}, {stderrFd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int open = stdoutFd >= 0 ? 2 : 1;
    char buffer[65536];
    while (open > 0) {
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[2].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t read = ::read(wakeFd_, &count, sizeof count);
            std::lock_guard lock(mutex_);
            if (closeStdoutRequested_ && fds[0].fd >= 0) {
                ::close(fds[0].fd);
                fds[0].fd = -1;
                --open;
            }
        }
        for (int index = 0; index < 2; ++index) {
            pollfd& entry = fds[index];
            if (entry.fd < 0 || entry.revents == 0) continue;
            const ssize_t count = ::read(entry.fd, buffer, sizeof buffer);
            if (count <= 0) {
                if (count < 0 && errno == EINTR) continue;
                ::close(entry.fd);
                entry.fd = -1;
                --open;
                continue;
            }
            std::lock_guard lock(mutex_);
            (&entry == &fds[0] ? stdout_ : stderr_).append(buffer, static_cast<std::size_t>(count));
            changed_.notify_all();
        }
    }
    std::lock_guard lock(mutex_);
    outputClosed_ = true;
    changed_.notify_all();
}

bool RunningProcess::waitForOutput(const std::function<bool(const std::string&)>& done,
                                   std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(stdout_) || outputClosed_; }) && done(stdout_);
}

bool RunningProcess::waitForLines(std::size_t count, std::chrono::milliseconds timeout) {
    return waitForOutput(
        [count](const std::string& text) {
            return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= count;
        },
        timeout);
}

std::string RunningProcess::standardOutput() {
    std::lock_guard lock(mutex_);
    return stdout_;
}

std::string RunningProcess::standardError() {
    std::lock_guard lock(mutex_);
    return stderr_;
}

ProcessResult RunningProcess::wait(std::chrono::milliseconds timeout) {
    if (result_) return *result_;
    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (done < 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= deadline && !result.timedOut) {
            result.timedOut = true;
            ::kill(pid_, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.termSignal = WTERMSIG(status);
    }
    closeStdin();
    {
        // Output still in the pipes (or held by a grandchild) is collected for a short while.
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(5), [this] { return outputClosed_; });
        result.standardOutput = stdout_;
        result.standardError = stderr_;
    }
    result_ = result;
    return result;
}

ProcessResult runProcess(const std::string& program, const ProcessOptions& options,
                         std::chrono::milliseconds timeout) {
    RunningProcess process(program, options);
    return process.wait(timeout);
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "norvi-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    }
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TemporaryDirectory::writeFile(const std::string& name, const std::string& contents) const {
    const std::string path = path_ + "/" + name;
    std::ofstream file(path, std::ios::binary);
    file << contents;
    return path;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

}  // namespace norvi::testing
