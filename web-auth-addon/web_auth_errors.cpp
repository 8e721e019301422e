#include "web-auth-addon/web_auth_errors.h"

namespace norvi::webauth {
namespace {

Napi::String utf8String(Napi::Env env, std::string_view text) {
    return Napi::String::New(env, text.data(), text.size());
}

}  // namespace

Napi::Object MakeError(Napi::Env env, std::string_view code, std::string_view message,
                       const std::optional<std::string>& domain, std::int64_t nativeCode,
                       bool includeNativeFields) {
    Napi::Object error = Napi::Object::New(env);
    error.Set("code", utf8String(env, code));
    error.Set("message", utf8String(env, message));
    if (includeNativeFields) {
        error.Set("domain", utf8String(env, domain.value_or("")));
        error.Set("nativeCode", Napi::Number::New(env, static_cast<double>(nativeCode)));
    }
    return error;
}

void CallError(Napi::Env env, const Napi::Function& callback, std::string_view code,
               std::string_view message) {
    Napi::Object error = MakeError(env, code, message, std::nullopt, 0, false);
    // A throwing callback leaves its exception pending (re-thrown by the wrapper).
    callback.Call(env.Undefined(), {error, env.Null()});
}

}  // namespace norvi::webauth
