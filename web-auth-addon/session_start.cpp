#include "web-auth-addon/session_start.h"

#include <cstdint>
#include <cstring>

#include "web-auth-addon/active_session.h"
#include "web-auth-addon/platform/app_kit.h"
#include "web-auth-addon/presentation_context.h"
#include "web-auth-addon/request_rules.h"
#include "web-auth-addon/session_completion.h"
#include "web-auth-addon/web_auth_errors.h"

namespace norvi::webauth {
namespace {

void openSession(Napi::Env env, const Napi::Function& callback, const std::string& url,
                 const std::string& callbackScheme, std::uint64_t viewAddress) {
    std::shared_ptr<View> view = appKit().viewAtAddress(viewAddress);
    std::shared_ptr<Window> window = view ? view->window() : nullptr;
    if (!window) {
        CallError(env, callback, errors::windowUnavailable);
        return;
    }
    auto record = std::make_unique<ActiveSession>();
    record->env = env;
    record->callback = Napi::Persistent(callback);
    record->callbackScheme = callbackScheme;
    placeActiveSession(std::move(record));
    active_session->presentationContext = NorviWebAuthPresentationContext::initWithWindow(window);

    appKit().activateApplication();
    appKit().makeKeyAndOrderFront(*window);

    auto session = authenticationServices().makeWebAuthenticationSession(url, callbackScheme,
                                                                         makeCompletionHandler());
    session->setPresentationContextProvider(active_session->presentationContext);
    session->setPrefersEphemeralWebBrowserSession(false);
    active_session->authSession = session;
    if (!session->start()) {
        ReleasedSession released = releaseActiveSession();
        CallError(env, released.record->callback.Value(), errors::sessionStartFailed);
    }
}

}  // namespace

Napi::Value Start(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() != 4) {
        Napi::TypeError::New(env,
                             "start requires four arguments: authUrl, callbackScheme, "
                             "nativeWindowHandle, callback.")
            .ThrowAsJavaScriptException();
        return env.Undefined();
    }
    if (!info[0].IsString() || !info[1].IsString() || !info[2].IsBuffer() ||
        !info[3].IsFunction()) {
        Napi::TypeError::New(env,
                             "start expects two strings, a native-window-handle Buffer, "
                             "and a callback function.")
            .ThrowAsJavaScriptException();
        return env.Undefined();
    }
    const std::string authUrl = info[0].As<Napi::String>().Utf8Value();
    const std::string callbackScheme = info[1].As<Napi::String>().Utf8Value();
    const auto handle = info[2].As<Napi::Buffer<std::uint8_t>>();
    const auto callback = info[3].As<Napi::Function>();

    const std::optional<std::string> url = validatedAuthUrl(authUrl);
    if (!url) {
        CallError(env, callback, errors::invalidAuthUrl);
        return env.Undefined();
    }
    std::string normalizedScheme;
    if (!ParseCallbackScheme(callbackScheme, normalizedScheme)) {
        CallError(env, callback, errors::invalidCallbackScheme);
        return env.Undefined();
    }
    std::uint64_t viewAddress = 0;
    if (handle.Length() != sizeof viewAddress) {
        CallError(env, callback, errors::handleNotOnePointer);
        return env.Undefined();
    }
    std::memcpy(&viewAddress, handle.Data(), sizeof viewAddress);
    if (viewAddress == 0 || viewAddress % 8 != 0) {
        CallError(env, callback, errors::handleNotAPointer);
        return env.Undefined();
    }
    if (!appKit().isMainThread()) {
        CallError(env, callback, errors::mainThreadRequired);
        return env.Undefined();
    }
    if (active_session) {
        CallError(env, callback, errors::sessionAlreadyActive);
        return env.Undefined();
    }
    openSession(env, callback, *url, normalizedScheme, viewAddress);
    return env.Undefined();
}

}  // namespace norvi::webauth
