// The simulated AuthenticationServices: sessions start unless told to refuse and complete only
// when a test says so, from a thread of their own.
#include <stdexcept>
#include <thread>

#include "web-auth-addon/platform/authentication_services.h"
#include "web-auth-addon/platform/simulated_state.h"
#include "web-auth-addon/uri_components.h"

namespace norvi::webauth {

const std::string_view webAuthenticationSessionErrorDomain =
    "com.apple.AuthenticationServices.WebAuthenticationSession";

namespace simulated {

class SimulatedSession : public WebAuthenticationSession {
  public:
    SimulatedSession(int number, SessionCompletionHandler handler)
        : number_(number), handler_(std::move(handler)) {}

    void setPresentationContextProvider(
        std::weak_ptr<PresentationContextProviding> provider) override {
        std::lock_guard lock(state().mutex);
        provider_ = std::move(provider);
        record().presentationContextProviderSet = true;
        recordCall(state(), "ASWebAuthenticationSession.setPresentationContextProvider",
                   {{"session", number_}});
    }

    void setPrefersEphemeralWebBrowserSession(bool prefersEphemeral) override {
        std::lock_guard lock(state().mutex);
        record().prefersEphemeralWebBrowserSession = prefersEphemeral;
        recordCall(state(), "ASWebAuthenticationSession.setPrefersEphemeralWebBrowserSession",
                   {{"session", number_}, {"value", prefersEphemeral}});
    }

    bool start() override {
        // The sheet asks its provider for the anchor when it is shown; the provider is not
        // asked while the state is locked, as it is the caller's code.
        std::shared_ptr<Window> anchor;
        bool refused = false;
        {
            std::lock_guard lock(state().mutex);
            refused = state().refuseNextStart;
            state().refuseNextStart = false;
        }
        auto provider = provider_.lock();
        if (!refused && provider) {
            anchor = provider->presentationAnchorForWebAuthenticationSession(*this);
        }
        std::lock_guard lock(state().mutex);
        record().started = !refused;
        nlohmann::json details = {{"session", number_}, {"result", !refused}};
        if (anchor) {
            record().anchorWindow = windowNumber(*anchor);
            details["anchorWindow"] = windowNumber(*anchor);
        }
        recordCall(state(), "ASWebAuthenticationSession.start", std::move(details));
        return !refused;
    }

    void cancel() override {
        std::lock_guard lock(state().mutex);
        record().cancelled = true;
        recordCall(state(), "ASWebAuthenticationSession.cancel", {{"session", number_}});
    }

    // Callers hold the state's mutex.
    SessionCompletionHandler takeHandler() {
        if (record().completed)
            return nullptr;
        record().completed = true;
        return handler_;
    }

  private:
    SessionRecord& record() { return state().records[number_ - 1]; }

    const int number_;
    SessionCompletionHandler handler_;
    std::weak_ptr<PresentationContextProviding> provider_;
};

namespace {

class SimulatedAuthenticationServices : public AuthenticationServices {
  public:
    std::shared_ptr<WebAuthenticationSession> makeWebAuthenticationSession(
        const std::string& url, const std::string& callbackUrlScheme,
        SessionCompletionHandler completionHandler) override {
        std::lock_guard lock(state().mutex);
        const int number = static_cast<int>(state().sessions.size()) + 1;
        auto session = std::make_shared<SimulatedSession>(number, std::move(completionHandler));
        state().sessions.push_back(session);
        SessionRecord record;
        record.number = number;
        record.url = url;
        record.callbackUrlScheme = callbackUrlScheme;
        state().records.push_back(std::move(record));
        recordCall(state(), "ASWebAuthenticationSession.initWithURL",
                   {{"session", number}, {"url", url}, {"callbackURLScheme", callbackUrlScheme}});
        return session;
    }
};

}  // namespace
}  // namespace simulated

AuthenticationServices& authenticationServices() {
    static auto* const shared = new simulated::SimulatedAuthenticationServices;
    return *shared;
}

namespace simulated {

void refuseNextStart() {
    std::lock_guard lock(state().mutex);
    state().refuseNextStart = true;
}

std::vector<SessionRecord> sessions() {
    std::lock_guard lock(state().mutex);
    return state().records;
}

CallbackUrl callbackUrl(const std::string& text) {
    CallbackUrl url{text, std::nullopt};
    if (auto components = parseUriReference(text))
        url.scheme = components->scheme;
    return url;
}

void completeFromAnotherThread(int number, std::optional<CallbackUrl> url,
                               std::optional<SessionError> error, bool waitForHandler) {
    SessionCompletionHandler handler;
    {
        std::lock_guard lock(state().mutex);
        if (number < 1 || number > static_cast<int>(state().sessions.size())) {
            throw std::invalid_argument("There is no simulated session " + std::to_string(number) +
                                        ".");
        }
        handler = state().sessions[number - 1]->takeHandler();
        if (!handler) {
            throw std::invalid_argument("The simulated session " + std::to_string(number) +
                                        " has already completed.");
        }
        nlohmann::json details = {{"session", number}};
        if (url)
            details["url"] = url->absoluteString;
        if (error) {
            details["errorDomain"] = error->domain ? nlohmann::json(*error->domain) : nullptr;
            details["errorCode"] = error->code;
        }
        recordCall(state(), "ASWebAuthenticationSession.completionHandler", std::move(details));
    }
    std::thread completion(
        [handler = std::move(handler), url = std::move(url), error = std::move(error)]() mutable {
            handler(std::move(url), std::move(error));
        });
    if (waitForHandler) {
        completion.join();
    } else {
        completion.detach();
    }
}

}  // namespace simulated
}  // namespace norvi::webauth
