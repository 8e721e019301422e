#include "audio-helper/core/termination_signal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

#include <asio/buffer.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/this_coro.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

namespace norvi::helper {
namespace {

// Lock-free, so the signal handler may read it.
std::atomic<int> signalEventFd{-1};

void ignoreTerminationSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, nullptr);
    sigaction(SIGTERM, &ignore, nullptr);
}

// Runs in signal context: only async-signal-safe calls. The first signal switches both
// signals to "ignore" before anything else, so no later one reaches this handler or the
// default action.
void onTerminationSignal(int) {
    const int savedErrno = errno;
    ignoreTerminationSignals();
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalEventFd.load(), &one, sizeof one);
    errno = savedErrno;
}

int eventFd() {
    // Made once and kept for the life of the process: the handler may still write to it.
    static const int fd = [] {
        const int created = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        signalEventFd.store(created);
        return created;
    }();
    return fd;
}

}  // namespace

void catchTerminationSignals() {
    eventFd();
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

asio::awaitable<void> waitForTerminationSignal() {
    const int fd = eventFd();
    asio::posix::stream_descriptor signals(co_await asio::this_coro::executor, ::dup(fd));
    catchTerminationSignals();
    std::uint64_t count = 0;
    // Ends with a count on the first signal, or with an error when the wait is cancelled.
    std::error_code error;
    co_await signals.async_read_some(asio::buffer(&count, sizeof count),
                                     asio::redirect_error(asio::use_awaitable, error));
    ignoreTerminationSignals();
}

}  // namespace norvi::helper
