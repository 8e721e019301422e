// The simulated AppKit and AuthenticationServices: views and windows exist only when a test
// makes them, sessions start unless told to refuse, and complete only when a test says so.
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "support/simulation/scenario.h"
#include "web-auth-addon/platform/app_kit.h"
#include "web-auth-addon/platform/authentication_services.h"
#include "web-auth-addon/platform/simulated_platform.h"
#include "web-auth-addon/uri_components.h"

namespace norvi::webauth {

const std::string_view webAuthenticationSessionErrorDomain =
    "com.apple.AuthenticationServices.WebAuthenticationSession";

namespace {

class SimulatedWindow : public Window {
public:
    explicit SimulatedWindow(int number) : number(number) {}
    const int number;
};

class SimulatedView : public View {
public:
    explicit SimulatedView(std::shared_ptr<Window> window) : window_(std::move(window)) {}
    std::shared_ptr<Window> window() const override { return window_; }

private:
    std::shared_ptr<Window> window_;
};

int windowNumber(const std::shared_ptr<Window>& window) {
    return static_cast<const SimulatedWindow&>(*window).number;
}

class SimulatedSession;

struct State {
    std::mutex mutex;
    std::shared_ptr<const simulation::Scenario> scenario;
    std::map<std::uint64_t, std::shared_ptr<SimulatedView>> views;
    int windowCount = 0;
    bool refuseNextStart = false;
    std::vector<std::shared_ptr<SimulatedSession>> sessions;
    std::vector<simulated::SessionRecord> records;
    std::vector<nlohmann::json> calls;
};

State& state() {
    static State* const shared = new State;  // outlives every environment's teardown
    return *shared;
}

// Callers hold the state's mutex.
void recordCall(State& shared, std::string_view call, nlohmann::json details = nullptr) {
    if (shared.scenario && shared.scenario->recorder()) {
        shared.scenario->recorder()->record(call, details);
    }
    nlohmann::json line = {{"call", call}};
    if (details.is_object()) line.update(details);
    shared.calls.push_back(std::move(line));
}

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
            record().anchorWindow = windowNumber(anchor);
            details["anchorWindow"] = windowNumber(anchor);
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
        if (record().completed) return nullptr;
        record().completed = true;
        return handler_;
    }

private:
    simulated::SessionRecord& record() { return state().records[number_ - 1]; }

    const int number_;
    SessionCompletionHandler handler_;
    std::weak_ptr<PresentationContextProviding> provider_;
};

class SimulatedAppKit : public AppKit {
public:
    bool isMainThread() const override { return ::gettid() == ::getpid(); }

    std::shared_ptr<View> viewAtAddress(std::uint64_t address) override {
        std::lock_guard lock(state().mutex);
        auto found = state().views.find(address);
        return found == state().views.end() ? nullptr : found->second;
    }

    void activateApplication() override {
        std::lock_guard lock(state().mutex);
        recordCall(state(), "NSApplication.activate");
    }

    void makeKeyAndOrderFront(Window& window) override {
        std::lock_guard lock(state().mutex);
        recordCall(state(), "NSWindow.makeKeyAndOrderFront",
                   {{"window", static_cast<const SimulatedWindow&>(window).number}});
    }
};

class SimulatedAuthenticationServices : public AuthenticationServices {
public:
    std::shared_ptr<WebAuthenticationSession> makeWebAuthenticationSession(
        const std::string& url, const std::string& callbackUrlScheme,
        SessionCompletionHandler completionHandler) override {
        std::lock_guard lock(state().mutex);
        const int number = static_cast<int>(state().sessions.size()) + 1;
        auto session = std::make_shared<SimulatedSession>(number, std::move(completionHandler));
        state().sessions.push_back(session);
        simulated::SessionRecord record;
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

AppKit& appKit() {
    static SimulatedAppKit* const shared = new SimulatedAppKit;
    return *shared;
}

AuthenticationServices& authenticationServices() {
    static SimulatedAuthenticationServices* const shared = new SimulatedAuthenticationServices;
    return *shared;
}

namespace simulated {

void loadSimulation() {
    std::lock_guard lock(state().mutex);
    if (!state().scenario) state().scenario = simulation::scenarioFromEnvironment();
}

std::uint64_t makeView(bool attached) {
    std::lock_guard lock(state().mutex);
    std::shared_ptr<Window> window;
    if (attached) window = std::make_shared<SimulatedWindow>(++state().windowCount);
    auto view = std::make_shared<SimulatedView>(std::move(window));
    const auto address = reinterpret_cast<std::uintptr_t>(view.get());
    state().views.emplace(address, std::move(view));
    return address;
}

std::optional<int> windowNumberOfView(std::uint64_t address) {
    std::lock_guard lock(state().mutex);
    auto found = state().views.find(address);
    if (found == state().views.end() || !found->second->window()) return std::nullopt;
    return windowNumber(found->second->window());
}

void refuseNextStart() {
    std::lock_guard lock(state().mutex);
    state().refuseNextStart = true;
}

std::vector<SessionRecord> sessions() {
    std::lock_guard lock(state().mutex);
    return state().records;
}

std::vector<nlohmann::json> calls() {
    std::lock_guard lock(state().mutex);
    return state().calls;
}

CallbackUrl callbackUrl(const std::string& text) {
    CallbackUrl url{text, std::nullopt};
    if (auto components = parseUriReference(text)) url.scheme = components->scheme;
    return url;
}

void completeFromAnotherThread(int number, std::optional<CallbackUrl> url,
                               std::optional<SessionError> error) {
    SessionCompletionHandler handler;
    {
        std::lock_guard lock(state().mutex);
        if (number < 1 || number > static_cast<int>(state().sessions.size())) {
            throw std::invalid_argument("There is no simulated session " +
                                        std::to_string(number) + ".");
        }
        handler = state().sessions[number - 1]->takeHandler();
        if (!handler) {
            throw std::invalid_argument("The simulated session " + std::to_string(number) +
                                        " has already completed.");
        }
        nlohmann::json details = {{"session", number}};
        if (url) details["url"] = url->absoluteString;
        if (error) {
            details["errorDomain"] = error->domain ? nlohmann::json(*error->domain) : nullptr;
            details["errorCode"] = error->code;
        }
        recordCall(state(), "ASWebAuthenticationSession.completionHandler", std::move(details));
    }
    std::thread completion(
        [&handler, &url, &error] { handler(std::move(url), std::move(error)); });
    completion.join();
}

}  // namespace simulated
}  // namespace norvi::webauth
