#include "audio-helper/core/termination_signal.h"

#include <chrono>
#include <csignal>
#include <thread>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <gtest/gtest.h>

namespace norvi::helper {
namespace {

using namespace asio::experimental::awaitable_operators;
using namespace std::chrono_literals;

// Signal dispositions belong to the process: CTest runs each of these tests in a process of its
// own.
bool ignored(int signal) {
    struct sigaction current {};
    sigaction(signal, nullptr, &current);
    return current.sa_handler == SIG_IGN;
}

// Runs the wait on its own loop and returns how often it finished.
int runWait(const std::function<asio::awaitable<void>()>& body, std::chrono::milliseconds limit) {
    asio::io_context loop;
    int finished = 0;
    asio::co_spawn(loop, body, [&](std::exception_ptr failure) {
        EXPECT_FALSE(failure);
        ++finished;
    });
    loop.run_for(limit);
    return finished;
}

TEST(TerminationSignal, ABurstOfSignalsResumesTheWaiterOnceAndLeavesThemIgnored) {
    std::thread sender([] {
        std::this_thread::sleep_for(50ms);
        for (int i = 0; i < 20; ++i) {
            ::kill(::getpid(), i % 2 ? SIGINT : SIGTERM);
        }
    });
    const int finished = runWait([]() -> asio::awaitable<void> { co_await waitForTerminationSignal(); }, 10s);
    sender.join();
    EXPECT_EQ(finished, 1);
    EXPECT_TRUE(ignored(SIGINT));
    EXPECT_TRUE(ignored(SIGTERM));
    // Still alive after a later signal.
    ::kill(::getpid(), SIGINT);
    ::kill(::getpid(), SIGTERM);
    std::this_thread::sleep_for(20ms);
}

// A wait given up (the start finished first, or the output failed) leaves the signals caught: one
// that arrives before the next wait begins is neither fatal nor lost.
TEST(TerminationSignal, ASignalBetweenACancelledWaitAndTheNextOneEndsTheNextOne) {
    const auto started = std::chrono::steady_clock::now();
    const int cancelled = runWait(
        []() -> asio::awaitable<void> {
            asio::steady_timer timer(co_await asio::this_coro::executor, 30ms);
            co_await (waitForTerminationSignal() || timer.async_wait(asio::use_awaitable));
        },
        10s);
    EXPECT_EQ(cancelled, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_FALSE(ignored(SIGTERM));
    ::kill(::getpid(), SIGTERM);
    const int finished =
        runWait([]() -> asio::awaitable<void> { co_await waitForTerminationSignal(); }, 10s);
    EXPECT_EQ(finished, 1);
    EXPECT_TRUE(ignored(SIGINT));
    EXPECT_TRUE(ignored(SIGTERM));
}

TEST(TerminationSignal, WithoutASignalTheWaitGoesOn) {
    const int finished =
        runWait([]() -> asio::awaitable<void> { co_await waitForTerminationSignal(); }, 200ms);
    EXPECT_EQ(finished, 0);
    EXPECT_FALSE(ignored(SIGTERM));
}

}  // namespace
}  // namespace norvi::helper
