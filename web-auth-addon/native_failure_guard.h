#pragma once

#include <exception>

#include <napi.h>

namespace norvi::webauth {

// Wraps an export so that a native failure never crosses into the host: it becomes a JS Error.
template <Napi::Value (*function)(const Napi::CallbackInfo&)>
Napi::Value guarded(const Napi::CallbackInfo& info) {
    try {
        return function(info);
    } catch (const std::exception& failure) {
        Napi::Error::New(info.Env(), failure.what()).ThrowAsJavaScriptException();
        return info.Env().Undefined();
    }
}

}  // namespace norvi::webauth
