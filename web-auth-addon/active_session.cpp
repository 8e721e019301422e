#include "web-auth-addon/active_session.h"

#include "web-auth-addon/platform/main_queue.h"
#include "web-auth-addon/presentation_context.h"

namespace norvi::webauth {

std::unique_ptr<ActiveSession> active_session;

void placeActiveSession(std::unique_ptr<ActiveSession> record) {
    active_session = std::move(record);
    MainQueue::holdEventLoop(true);
}

ReleasedSession releaseActiveSession() {
    ReleasedSession released{std::move(active_session), nullptr};
    MainQueue::holdEventLoop(false);
    released.authSession = std::move(released.record->authSession);
    released.record->presentationContext.reset();
    return released;
}

}  // namespace norvi::webauth
