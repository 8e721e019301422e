#pragma once

#include <asio/awaitable.hpp>

namespace norvi::helper {

// Returns once the process has received SIGINT or SIGTERM, or at once when the waiting
// operation is cancelled. The first signal switches both signals to "ignore" for the rest of the
// process, so a second one neither interrupts the shutdown nor ends the process, and it is kept:
// a wait that begins after it (or that an earlier, cancelled wait missed) returns at once. A
// cancelled wait leaves the signals caught, never at their default action. Never fails.
asio::awaitable<void> waitForTerminationSignal();

// Starts catching SIGINT and SIGTERM now (once per process), so that a signal that arrives
// before the wait begins (while a stream is starting) is not lost: the wait then returns at once.
void catchTerminationSignals();

}  // namespace norvi::helper
