#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "web-auth-addon/platform/app_kit.h"

namespace norvi::webauth {

// The domain of the web-authentication session's own errors, and its cancelled-login code.
extern const std::string_view webAuthenticationSessionErrorDomain;
constexpr std::int64_t webAuthenticationSessionCanceledLogin = 1;

// An error the session reports (NSError): its domain may be absent.
struct SessionError {
    std::optional<std::string> domain;
    std::int64_t code = 0;
};

// The URL the sign-in flow redirected to (NSURL).
struct CallbackUrl {
    // The complete URL as the platform formats it.
    std::string absoluteString;
    // Absent when the URL has no scheme.
    std::optional<std::string> scheme;
};

// Called once when the session ends, on a thread of the platform's choosing.
using SessionCompletionHandler =
    std::function<void(std::optional<CallbackUrl>, std::optional<SessionError>)>;

class WebAuthenticationSession;

// ASWebAuthenticationPresentationContextProviding.
class PresentationContextProviding {
  public:
    virtual ~PresentationContextProviding() = default;
    virtual std::shared_ptr<Window> presentationAnchorForWebAuthenticationSession(
        WebAuthenticationSession& session) = 0;
};

// ASWebAuthenticationSession.
class WebAuthenticationSession {
  public:
    virtual ~WebAuthenticationSession() = default;
    // The session holds its provider weakly: the caller keeps it alive.
    virtual void setPresentationContextProvider(
        std::weak_ptr<PresentationContextProviding> provider) = 0;
    virtual void setPrefersEphemeralWebBrowserSession(bool prefersEphemeral) = 0;
    // True when the sheet will be shown, false when the platform refuses.
    virtual bool start() = 0;
    virtual void cancel() = 0;
};

class AuthenticationServices {
  public:
    virtual ~AuthenticationServices() = default;
    // initWithURL:callbackURLScheme:completionHandler:
    virtual std::shared_ptr<WebAuthenticationSession> makeWebAuthenticationSession(
        const std::string& url, const std::string& callbackUrlScheme,
        SessionCompletionHandler completionHandler) = 0;
};

AuthenticationServices& authenticationServices();

}  // namespace norvi::webauth
