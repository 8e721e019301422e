#include "audio-helper/core/termination_signal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

#include <asio/buffer.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/this_coro.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

namespace norvi::helper {
namespace {

// Lock-free, so that the signal handler may use them. `terminationRequested` keeps the signal
// for whichever wait comes next; the eventfd only wakes a wait in progress.
std::atomic<int> signalEventFd{-1};
std::atomic<bool> terminationRequested{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

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
    terminationRequested.store(true);
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
    // Installed once: after the first signal the handler has switched both signals to "ignore",
    // and that stays.
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        sigaddset(&action.sa_mask, SIGINT);
        sigaddset(&action.sa_mask, SIGTERM);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    });
}

asio::awaitable<void> waitForTerminationSignal() {
    const int fd = eventFd();
    asio::posix::stream_descriptor signals(co_await asio::this_coro::executor, ::dup(fd));
    catchTerminationSignals();
    while (!terminationRequested.load()) {
        std::uint64_t count = 0;
        std::error_code error;
        co_await signals.async_read_some(asio::buffer(&count, sizeof count),
                                         asio::redirect_error(asio::use_awaitable, error));
        if (error) {
            // Given up: the signals stay caught, and one that comes later waits for the next wait.
            co_return;
        }
    }
}

}  // namespace norvi::helper
