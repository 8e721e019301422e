#pragma once

#include <memory>
#include <string>

#include <napi.h>

#include "web-auth-addon/platform/authentication_services.h"

namespace norvi::webauth {

class NorviWebAuthPresentationContext;

// The one running session.
struct ActiveSession {
    napi_env env = nullptr;
    Napi::FunctionReference callback;
    std::string callbackScheme;
    std::shared_ptr<WebAuthenticationSession> authSession;
    std::shared_ptr<NorviWebAuthPresentationContext> presentationContext;
};

// The process-wide session slot; touched only on the main thread.
extern std::unique_ptr<ActiveSession> active_session;

// Fills the empty slot; the event loop stays alive while the slot is full.
void placeActiveSession(std::unique_ptr<ActiveSession> record);

// What the first steps of ending a session leave to the path that ends it.
struct ReleasedSession {
    std::unique_ptr<ActiveSession> record;
    std::shared_ptr<WebAuthenticationSession> authSession;
};

// Takes the record out of the slot and clears its platform references, handing the system
// session to the caller. The slot is empty afterwards, so a callback may start again.
ReleasedSession releaseActiveSession();

}  // namespace norvi::webauth
