#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <napi.h>

namespace norvi::webauth {

// What the callback's error object says: its "code" and "message".
struct ErrorText {
    std::string_view code;
    std::string_view message;
};

namespace errors {
inline constexpr ErrorText invalidAuthUrl{
    "invalidAuthUrl",
    "The authentication URL must use HTTPS, or loopback HTTP for local development, without "
    "user information or a fragment."};
inline constexpr ErrorText invalidCallbackScheme{
    "invalidCallbackScheme", "The callback scheme must be a valid custom URL scheme."};
inline constexpr ErrorText handleNotOnePointer{
    "invalidNativeWindowHandle", "The native window handle must contain exactly one pointer."};
inline constexpr ErrorText handleNotAPointer{
    "invalidNativeWindowHandle", "The native window handle does not contain a valid pointer."};
inline constexpr ErrorText mainThreadRequired{
    "mainThreadRequired",
    "The authentication session must be started from Electron's main thread."};
inline constexpr ErrorText sessionAlreadyActive{
    "sessionAlreadyActive", "Another authentication session is already active."};
inline constexpr ErrorText windowUnavailable{
    "windowUnavailable", "The native Electron view is not attached to a window."};
inline constexpr ErrorText sessionStartFailed{"sessionStartFailed",
                                              "The authentication session could not be started."};
inline constexpr ErrorText authenticationSessionFailed{"authenticationSessionFailed",
                                                       "The authentication session failed."};
inline constexpr ErrorText callbackMissing{"callbackMissing",
                                           "The authentication session returned no callback URL."};
inline constexpr ErrorText callbackSchemeMismatch{
    "callbackSchemeMismatch", "The authentication callback used an unexpected URL scheme."};
}  // namespace errors

// The plain object (not an Error) handed to callbacks. "domain" (empty when absent) and
// "nativeCode" are added only with `includeNativeFields`.
Napi::Object MakeError(Napi::Env env, std::string_view code, std::string_view message,
                       const std::optional<std::string>& domain, std::int64_t nativeCode,
                       bool includeNativeFields);

// Calls `callback` with the error object and null; if the callback throws, the exception is
// left pending so that it propagates out of the running JS call.
void CallError(Napi::Env env, const Napi::Function& callback, std::string_view code,
               std::string_view message);
inline void CallError(Napi::Env env, const Napi::Function& callback, const ErrorText& error) {
    CallError(env, callback, error.code, error.message);
}

}  // namespace norvi::webauth
