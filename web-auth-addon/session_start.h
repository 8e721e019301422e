#pragma once

#include <napi.h>

namespace norvi::webauth {

// The "start" export: start(authUrl, callbackScheme, nativeWindowHandle, callback).
Napi::Value Start(const Napi::CallbackInfo& info);

}  // namespace norvi::webauth
