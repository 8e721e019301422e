#include "web-auth-addon/session_completion.h"

#include <napi.h>

#include "web-auth-addon/active_session.h"
#include "web-auth-addon/platform/main_queue.h"
#include "web-auth-addon/request_rules.h"
#include "web-auth-addon/web_auth_errors.h"

namespace norvi::webauth {
namespace {

struct Outcome {
    Napi::Value error;
    Napi::Value callbackUrl;
};

Outcome failure(Napi::Env env, const ErrorText& text) {
    return {MakeError(env, text.code, text.message, std::nullopt, 0, false), env.Null()};
}

Outcome classify(Napi::Env env, const ActiveSession& record, const std::optional<CallbackUrl>& url,
                 const std::optional<SessionError>& error) {
    if (error) {
        if (error->domain == webAuthenticationSessionErrorDomain &&
            error->code == webAuthenticationSessionCanceledLogin) {
            return {env.Null(), env.Null()};
        }
        const ErrorText& text = errors::authenticationSessionFailed;
        return {MakeError(env, text.code, text.message, error->domain, error->code, true),
                env.Null()};
    }
    if (url) {
        if (url->scheme && equalIgnoringAsciiCase(*url->scheme, record.callbackScheme)) {
            return {env.Null(), Napi::String::New(env, url->absoluteString)};
        }
        return failure(env, errors::callbackSchemeMismatch);
    }
    return failure(env, errors::callbackMissing);
}

void deliverCompletion(const std::optional<CallbackUrl>& url,
                       const std::optional<SessionError>& error) {
    // Ended already by cancel, a refused start or teardown.
    if (!active_session)
        return;
    ReleasedSession released = releaseActiveSession();
    released.authSession.reset();
    Napi::Env env(released.record->env);
    {
        Napi::HandleScope scope(env);
        Napi::Function callback = released.record->callback.Value();
        Outcome outcome = classify(env, *released.record, url, error);
        // A throwing callback leaves its exception pending in the environment.
        callback.Call(env.Undefined(), {outcome.error, outcome.callbackUrl});
    }
}

}  // namespace

SessionCompletionHandler makeCompletionHandler() {
    return [](std::optional<CallbackUrl> url, std::optional<SessionError> error) {
        MainQueue::post(
            [url = std::move(url), error = std::move(error)] { deliverCompletion(url, error); });
    };
}

}  // namespace norvi::webauth
