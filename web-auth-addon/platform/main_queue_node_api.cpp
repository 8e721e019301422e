// The main queue as a Node-API thread-safe function: its JS-thread callback runs each piece of
// posted work in order on the thread of the environment that created it.
#include <memory>
#include <mutex>

#include "web-auth-addon/platform/main_queue.h"

namespace norvi::webauth {
namespace {

struct Queue {
    std::mutex mutex;
    napi_threadsafe_function function = nullptr;
    napi_env env = nullptr;
    bool held = false;
    bool holdingAllowed = true;
};

Queue& queue() {
    static Queue* const shared = new Queue;  // posts may race with process exit
    return *shared;
}

void runWork(napi_env env, napi_value, void*, void* data) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(data));
    // A null environment means the function is being torn down: drop what is left.
    if (env != nullptr)
        (*work)();
}

// Runs on the environment's thread once the function is gone, at teardown at the latest.
void forgetFunction(napi_env, void*, void*) {
    std::lock_guard lock(queue().mutex);
    queue().function = nullptr;
    queue().env = nullptr;
    queue().held = false;
}

}  // namespace

napi_status MainQueue::attach(napi_env env) {
    std::lock_guard lock(queue().mutex);
    if (queue().function != nullptr)
        return napi_ok;
    napi_value name = nullptr;
    napi_status status =
        napi_create_string_utf8(env, "macos_web_auth_session delivery", NAPI_AUTO_LENGTH, &name);
    if (status != napi_ok)
        return status;
    napi_threadsafe_function function = nullptr;
    status = napi_create_threadsafe_function(env, nullptr, nullptr, name, 0, 1, nullptr,
                                             forgetFunction, nullptr, runWork, &function);
    if (status != napi_ok)
        return status;
    // Idle: no session, so nothing to wait for.
    status = napi_unref_threadsafe_function(env, function);
    queue().function = function;
    queue().env = env;
    return status;
}

void MainQueue::detach(napi_env env) {
    // Node closes the function itself at teardown; it must not be called from here on.
    std::lock_guard lock(queue().mutex);
    if (queue().env != env)
        return;
    queue().function = nullptr;
    queue().env = nullptr;
    queue().held = false;
}

void MainQueue::post(std::function<void()> work) {
    auto item = std::make_unique<std::function<void()>>(std::move(work));
    std::lock_guard lock(queue().mutex);
    if (queue().function == nullptr)
        return;
    if (napi_call_threadsafe_function(queue().function, item.get(), napi_tsfn_nonblocking) ==
        napi_ok) {
        item.release();
    }
}

void MainQueue::holdEventLoop(bool hold) {
    std::lock_guard lock(queue().mutex);
    hold = hold && queue().holdingAllowed;
    if (queue().function == nullptr || queue().held == hold)
        return;
    if (hold) {
        napi_ref_threadsafe_function(queue().env, queue().function);
    } else {
        napi_unref_threadsafe_function(queue().env, queue().function);
    }
    queue().held = hold;
}

void MainQueue::releaseEventLoop() {
    holdEventLoop(false);
    std::lock_guard lock(queue().mutex);
    queue().holdingAllowed = false;
}

}  // namespace norvi::webauth
