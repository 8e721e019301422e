#include "web-auth-addon/test_controls.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "web-auth-addon/native_failure_guard.h"
#include "web-auth-addon/platform/main_queue.h"
#include "web-auth-addon/platform/simulated_platform.h"

namespace norvi::webauth {
namespace {

void throwTypeError(Napi::Env env, const char* message) {
    Napi::TypeError::New(env, message).ThrowAsJavaScriptException();
}

Napi::Value fromJson(Napi::Env env, const nlohmann::json& value) {
    Napi::Object json = env.Global().Get("JSON").As<Napi::Object>();
    return json.Get("parse").As<Napi::Function>().Call(json,
                                                       {Napi::String::New(env, value.dump())});
}

// makeView(attached = true): the 8-byte handle of a new view, shown in a window of its own.
Napi::Value makeView(const Napi::CallbackInfo& info) {
    const bool attached = info.Length() == 0 || info[0].ToBoolean().Value();
    const std::uint64_t address = simulated::makeView(attached);
    return Napi::Buffer<std::uint8_t>::Copy(
        info.Env(), reinterpret_cast<const std::uint8_t*>(&address), sizeof address);
}

// windowOfView(handle): the number of the view's window, or null.
Napi::Value windowOfView(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() != 1 || !info[0].IsBuffer() ||
        info[0].As<Napi::Buffer<std::uint8_t>>().Length() != sizeof(std::uint64_t)) {
        throwTypeError(env, "windowOfView expects an 8-byte view handle.");
        return env.Undefined();
    }
    std::uint64_t address = 0;
    std::memcpy(&address, info[0].As<Napi::Buffer<std::uint8_t>>().Data(), sizeof address);
    const auto number = simulated::windowNumberOfView(address);
    return number ? Napi::Number::New(env, *number) : env.Null();
}

Napi::Value refuseNextStart(const Napi::CallbackInfo& info) {
    simulated::refuseNextStart();
    return info.Env().Undefined();
}

Napi::Value releaseEventLoop(const Napi::CallbackInfo& info) {
    MainQueue::releaseEventLoop();
    return info.Env().Undefined();
}

// flushMainQueue(callback): calls back once every delivery posted so far has run.
Napi::Value flushMainQueue(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() != 1 || !info[0].IsFunction()) {
        throwTypeError(env, "flushMainQueue expects a callback function.");
        return env.Undefined();
    }
    auto callback =
        std::make_shared<Napi::FunctionReference>(Napi::Persistent(info[0].As<Napi::Function>()));
    MainQueue::post([callback, env = static_cast<napi_env>(env)] {
        Napi::HandleScope scope(env);
        callback->Call(Napi::Env(env).Undefined(), {});
    });
    return env.Undefined();
}

Napi::Value sessions(const Napi::CallbackInfo& info) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& session : simulated::sessions()) {
        list.push_back({
            {"number", session.number},
            {"url", session.url},
            {"callbackURLScheme", session.callbackUrlScheme},
            {"prefersEphemeralWebBrowserSession",
             session.prefersEphemeralWebBrowserSession
                 ? nlohmann::json(*session.prefersEphemeralWebBrowserSession)
                 : nullptr},
            {"presentationContextProviderSet", session.presentationContextProviderSet},
            {"started", session.started ? nlohmann::json(*session.started) : nullptr},
            {"anchorWindow",
             session.anchorWindow ? nlohmann::json(*session.anchorWindow) : nullptr},
            {"cancelled", session.cancelled},
            {"completed", session.completed},
        });
    }
    return fromJson(info.Env(), list);
}

Napi::Value calls(const Napi::CallbackInfo& info) {
    return fromJson(info.Env(), nlohmann::json(simulated::calls()));
}

// complete({url, error: {domain, code}, session, concurrently}): the platform's completion
// handler for that session (the latest by default), called from another thread; without
// `concurrently`, complete returns once the handler has run.
Napi::Value complete(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() != 1 || !info[0].IsObject()) {
        throwTypeError(env, "complete expects an object: {url, error: {domain, code}, session}.");
        return env.Undefined();
    }
    const Napi::Object options = info[0].As<Napi::Object>();
    std::optional<CallbackUrl> url;
    if (options.Has("url") && !options.Get("url").IsUndefined()) {
        if (!options.Get("url").IsString()) {
            throwTypeError(env, "complete: url must be a string.");
            return env.Undefined();
        }
        url = simulated::callbackUrl(options.Get("url").As<Napi::String>().Utf8Value());
    }
    std::optional<SessionError> error;
    if (options.Has("error") && !options.Get("error").IsUndefined()) {
        const Napi::Value given = options.Get("error");
        if (!given.IsObject() || !given.As<Napi::Object>().Get("code").IsNumber()) {
            throwTypeError(env, "complete: error must be {domain: string or null, code: number}.");
            return env.Undefined();
        }
        const Napi::Object object = given.As<Napi::Object>();
        error = SessionError{};
        error->code = object.Get("code").As<Napi::Number>().Int64Value();
        const Napi::Value domain = object.Get("domain");
        if (domain.IsString()) {
            error->domain = domain.As<Napi::String>().Utf8Value();
        } else if (!domain.IsNull() && !domain.IsUndefined()) {
            throwTypeError(env, "complete: error.domain must be a string or null.");
            return env.Undefined();
        }
    }
    int number = static_cast<int>(simulated::sessions().size());
    if (options.Has("session") && options.Get("session").IsNumber()) {
        number = options.Get("session").As<Napi::Number>().Int32Value();
    }
    const bool waitForHandler = !options.Get("concurrently").ToBoolean().Value();
    simulated::completeFromAnotherThread(number, std::move(url), std::move(error), waitForHandler);
    return env.Undefined();
}

}  // namespace

Napi::Object makeTestControls(Napi::Env env) {
    Napi::Object controls = Napi::Object::New(env);
    controls.Set("makeView", Napi::Function::New<guarded<makeView>>(env, "makeView"));
    controls.Set("windowOfView", Napi::Function::New<guarded<windowOfView>>(env, "windowOfView"));
    controls.Set("refuseNextStart",
                 Napi::Function::New<guarded<refuseNextStart>>(env, "refuseNextStart"));
    controls.Set("releaseEventLoop",
                 Napi::Function::New<guarded<releaseEventLoop>>(env, "releaseEventLoop"));
    controls.Set("flushMainQueue",
                 Napi::Function::New<guarded<flushMainQueue>>(env, "flushMainQueue"));
    controls.Set("sessions", Napi::Function::New<guarded<sessions>>(env, "sessions"));
    controls.Set("calls", Napi::Function::New<guarded<calls>>(env, "calls"));
    controls.Set("complete", Napi::Function::New<guarded<complete>>(env, "complete"));
    controls.Set("errorDomain",
                 Napi::String::New(env, std::string(webAuthenticationSessionErrorDomain)));
    return controls;
}

}  // namespace norvi::webauth
