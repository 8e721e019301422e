#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "web-auth-addon/platform/authentication_services.h"

// Scripting the simulated AppKit and AuthenticationServices. The addon itself only calls
// `loadSimulation`; everything else here serves the test flavour's control export.
namespace norvi::webauth::simulated {

// Reads NORVI_SIMULATION once, for its call record; throws simulation::ScenarioError.
void loadSimulation();

// A new view with its own window, or one shown in no window; returns the view's address.
std::uint64_t makeView(bool attached);
// The number of the window that shows the view, if it is a view of this simulation and has one.
std::optional<int> windowNumberOfView(std::uint64_t address);

// The next session's `start` answers NO.
void refuseNextStart();

// What each session was given, in order of creation (numbered from 1).
struct SessionRecord {
    int number = 0;
    std::string url;
    std::string callbackUrlScheme;
    std::optional<bool> prefersEphemeralWebBrowserSession;
    bool presentationContextProviderSet = false;
    std::optional<bool> started;
    std::optional<int> anchorWindow;
    bool cancelled = false;
    bool completed = false;
};
std::vector<SessionRecord> sessions();

// Every platform call so far, as the call record writes them.
std::vector<nlohmann::json> calls();

// A callback URL the way the platform would hand it over.
CallbackUrl callbackUrl(const std::string& text);

// Calls the completion handler of session `number` from a new thread, and waits for that
// thread unless `waitForHandler` is false (the handler then races the caller); the delivery
// itself runs later on the main thread. Throws std::invalid_argument for an unknown session
// or one that has already completed.
void completeFromAnotherThread(int number, std::optional<CallbackUrl> url,
                               std::optional<SessionError> error, bool waitForHandler);

}  // namespace norvi::webauth::simulated
