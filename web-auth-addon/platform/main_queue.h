#pragma once

#include <functional>

#include <node_api.h>

namespace norvi::webauth {

// Work posted from any thread to run later on the main thread, in posting order. It runs
// through a Node-API thread-safe function of the first main-thread environment that loads the
// addon; that function keeps the event loop alive only while `holdEventLoop(true)` is in force.
class MainQueue {
  public:
    // Creates the queue for a main-thread environment unless one is already attached.
    // Returns the failing status, or napi_ok.
    static napi_status attach(napi_env env);
    // At the teardown of `env`: if it owns the queue, later work is dropped.
    static void detach(napi_env env);
    // Thread-safe. Work posted once the queue's environment has gone is dropped.
    static void post(std::function<void()> work);
    // Main thread only: whether pending sessions keep the event loop running.
    static void holdEventLoop(bool hold);
    // From now on sessions no longer keep the event loop alive (for tests that need the main
    // environment to end while a session runs).
    static void releaseEventLoop();
};

}  // namespace norvi::webauth
