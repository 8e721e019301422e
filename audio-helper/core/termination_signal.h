#pragma once

#include <asio/awaitable.hpp>

namespace norvi::helper {

// Returns once the process has received SIGINT or SIGTERM, or at once when the waiting
// operation is cancelled. The first signal resumes the waiter exactly once; from the moment the
// wait ends (by a signal or by cancellation) both signals stay ignored for the rest of the
// process, so a second signal neither interrupts the shutdown nor ends the process. Never fails.
asio::awaitable<void> waitForTerminationSignal();

// Starts catching SIGINT and SIGTERM now, so that a signal that arrives before the wait begins
// (while a stream is starting) is not lost: the wait then returns at once.
void catchTerminationSignals();

}  // namespace norvi::helper
