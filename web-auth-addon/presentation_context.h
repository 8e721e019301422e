#pragma once

#include <memory>

#include "web-auth-addon/platform/authentication_services.h"

namespace norvi::webauth {

// Anchors the sign-in sheet to the host's window, whichever session asks.
class NorviWebAuthPresentationContext : public PresentationContextProviding {
  public:
    static std::shared_ptr<NorviWebAuthPresentationContext> initWithWindow(
        std::shared_ptr<Window> window) {
        auto context = std::make_shared<NorviWebAuthPresentationContext>();
        context->_window = std::move(window);
        return context;
    }

    std::shared_ptr<Window> presentationAnchorForWebAuthenticationSession(
        WebAuthenticationSession&) override {
        return _window;
    }

  private:
    std::shared_ptr<Window> _window;
};

}  // namespace norvi::webauth
