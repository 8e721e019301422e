// Module registration, `cancel` and environment teardown of the web-authentication addon.
#include <exception>

#include <napi.h>

#include "web-auth-addon/active_session.h"
#include "web-auth-addon/native_failure_guard.h"
#include "web-auth-addon/platform/app_kit.h"
#include "web-auth-addon/platform/main_queue.h"
#include "web-auth-addon/platform/simulated_platform.h"
#include "web-auth-addon/session_start.h"
#ifdef NORVI_WEB_AUTH_TEST_CONTROLS
#include "web-auth-addon/test_controls.h"
#endif

namespace norvi::webauth {
namespace {

Napi::Value Cancel(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() != 0) {
        Napi::TypeError::New(env, "cancel does not accept arguments.").ThrowAsJavaScriptException();
        return env.Undefined();
    }
    if (!appKit().isMainThread()) {
        Napi::Error::New(env,
                         "The authentication session must be cancelled from Electron's main "
                         "thread.")
            .ThrowAsJavaScriptException();
        return env.Undefined();
    }
    if (!active_session)
        return env.Undefined();
    ReleasedSession released = releaseActiveSession();
    if (released.authSession)
        released.authSession->cancel();
    {
        Napi::HandleScope scope(env);
        Napi::Function callback = released.record->callback.Value();
        // A throwing callback leaves its exception pending; the record goes all the same.
        callback.Call(env.Undefined(), {env.Null(), env.Null()});
    }
    return env.Undefined();
}

// Every environment that loads the addon registers this hook with itself as the data, so a
// worker that merely loaded the addon leaves the main thread's session alone when it exits.
void EnvironmentCleanup(void* data) {
    const auto env = static_cast<napi_env>(data);
    // Only a main-thread environment can have opened the session; others must not even read
    // the slot, which belongs to the main thread.
    if (!appKit().isMainThread())
        return;
    if (active_session && active_session->env == env) {
        ReleasedSession released = releaseActiveSession();
        if (released.authSession)
            released.authSession->cancel();
    }
    MainQueue::detach(env);
}

Napi::Object registerModule(Napi::Env env, Napi::Object exports) {
    try {
        simulated::loadSimulation();
    } catch (const std::exception& failure) {
        Napi::Error::New(env, failure.what()).ThrowAsJavaScriptException();
        return exports;
    }
    if (napi_add_env_cleanup_hook(env, EnvironmentCleanup, static_cast<napi_env>(env)) != napi_ok) {
        Napi::Error::New(env, "Could not register the authentication-session cleanup hook.")
            .ThrowAsJavaScriptException();
        return exports;
    }
    if (appKit().isMainThread()) {
        const napi_status status = MainQueue::attach(env);
        if (status != napi_ok) {
            Napi::Error::New(env).ThrowAsJavaScriptException();
            return exports;
        }
    }
    exports.Set("start", Napi::Function::New<guarded<Start>>(env, "start"));
    exports.Set("cancel", Napi::Function::New<guarded<Cancel>>(env, "cancel"));
#ifdef NORVI_WEB_AUTH_TEST_CONTROLS
    exports.Set("simulation", makeTestControls(env));
#endif
    return exports;
}

}  // namespace
}  // namespace norvi::webauth

NAPI_MODULE_INIT() {
    return norvi::webauth::registerModule(env, Napi::Object(env, exports));
}
