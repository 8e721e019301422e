#include "apple-engine/platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

extern char** environ;

namespace norvi::engine {
namespace {

using Clock = std::chrono::steady_clock;

std::string errorText(int error) {
    return std::strerror(error);
}

// Owns the spawn attributes for the length of one posix_spawnp call.
struct SpawnSettings {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

    explicit SpawnSettings(int childSocket) {
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, childSocket, STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, childSocket, STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawnattr_init(&attributes);
        // Its own process group, every signal at its default and none blocked, whatever the
        // engine inherited from its parent.
        sigset_t all;
        sigset_t none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(
            &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnSettings() {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;
};

bool hasExited(pid_t pid) {
    siginfo_t info{};
    // WNOWAIT leaves the program a zombie, so its process group cannot be reused before the
    // rest of the group has been killed.
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments) {
    if (arguments.empty())
        throw ChildProcessError("No program to start.");
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        throw ChildProcessError("Could not start " + arguments.front() + ": " + errorText(errno));
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int error = 0;
    {
        SpawnSettings settings(sockets[1]);
        error = ::posix_spawnp(&pid_, argv.front(), &settings.actions, &settings.attributes,
                               argv.data(), environ);
    }
    ::close(sockets[1]);
    if (error != 0) {
        ::close(sockets[0]);
        pid_ = -1;
        throw ChildProcessError("Could not start " + arguments.front() + ": " + errorText(error));
    }
    socket_ = sockets[0];
}

ChildProcess::~ChildProcess() {
    stop();
}

int ChildProcess::releaseSocket() {
    return std::exchange(socket_, -1);
}

std::optional<int> ChildProcess::stop(std::chrono::milliseconds grace) {
    if (socket_ >= 0)
        ::close(std::exchange(socket_, -1));
    if (pid_ < 0)
        return std::nullopt;
    const auto deadline = Clock::now() + grace;
    while (!hasExited(pid_) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(-pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
}

std::optional<std::string> runProgram(const std::vector<std::string>& arguments,
                                      std::string_view input, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::optional<ChildProcess> child;
    try {
        child.emplace(arguments);
    } catch (const ChildProcessError&) {
        return std::nullopt;
    }
    const int fd = child->socket();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (input.empty())
        ::shutdown(fd, SHUT_WR);
    std::string output;
    std::size_t written = 0;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            child->stop(std::chrono::milliseconds(0));
            return std::nullopt;
        }
        pollfd watched{fd, static_cast<short>(POLLIN | (written < input.size() ? POLLOUT : 0)), 0};
        if (::poll(&watched, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if ((watched.revents & POLLOUT) != 0) {
            const ssize_t sent = ::send(fd, input.data() + written, input.size() - written,
                                        MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && errno != EAGAIN && errno != EINTR)
                return std::nullopt;
            written += sent > 0 ? static_cast<std::size_t>(sent) : 0;
            if (written == input.size())
                ::shutdown(fd, SHUT_WR);
        }
        if ((watched.revents & (POLLIN | POLLHUP)) != 0) {
            char buffer[4096];
            const ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count == 0)
                break;
            if (count < 0 && errno != EAGAIN && errno != EINTR)
                return std::nullopt;
            if (count > 0)
                output.append(buffer, static_cast<std::size_t>(count));
        }
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const std::optional<int> status = child->stop(std::max(left, std::chrono::milliseconds(0)));
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0)
        return std::nullopt;
    return output;
}

}  // namespace norvi::engine
