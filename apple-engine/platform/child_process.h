#pragma once

#include <sys/types.h>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace norvi::engine {

// A program that could not be started; what() says which and why.
class ChildProcessError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A program the Linux backends run. Its standard input and output are both one end of a
// socket pair (a socket, unlike a pipe, lets us write with MSG_NOSIGNAL, so a child that died
// cannot kill the engine with SIGPIPE); its standard error goes to /dev/null, since the
// engine's own streams carry the protocol. It runs in a process group of its own, so that
// stopping it also stops every process of a pipeline it starts.
class ChildProcess {
  public:
    // Finds the program on PATH. Throws ChildProcessError.
    explicit ChildProcess(const std::vector<std::string>& arguments);
    // Stops the program (see stop()).
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Our end of the socket pair, or -1 once released or stopped.
    int socket() const { return socket_; }
    // Hands our end over to the caller, who then closes it.
    int releaseSocket();

    // Ends the program: closes our end unless it was released (its input sees the end), gives
    // it `grace` to exit by itself, then kills what is left of its process group and reaps it.
    // Returns the program's wait status, or nothing when it had already been stopped.
    std::optional<int> stop(std::chrono::milliseconds grace = std::chrono::milliseconds(500));

  private:
    pid_t pid_ = -1;
    int socket_ = -1;
};

// Runs a program to its end with `input` on its standard input and returns its whole
// standard output; nothing when it cannot be started, exits with a non-zero status or takes
// longer than `timeout` (it is then killed).
std::optional<std::string> runProgram(const std::vector<std::string>& arguments,
                                      std::string_view input, std::chrono::milliseconds timeout);

}  // namespace norvi::engine
