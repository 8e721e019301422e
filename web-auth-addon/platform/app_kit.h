#pragma once

#include <cstdint>
#include <memory>

namespace norvi::webauth {

// An application window (NSWindow).
class Window {
  public:
    virtual ~Window() = default;
};

// A view inside a window (NSView).
class View {
  public:
    virtual ~View() = default;
    // The window that shows the view, or null once it has been taken out of every window.
    virtual std::shared_ptr<Window> window() const = 0;
};

// The parts of AppKit and NSThread that opening the sign-in sheet needs.
class AppKit {
  public:
    virtual ~AppKit() = default;

    // True only on the application's main thread (NSThread isMainThread).
    virtual bool isMainThread() const = 0;
    // The view whose address the host read from its window's native handle. The address is
    // trusted as the host gave it; the simulation answers null for one it never handed out.
    virtual std::shared_ptr<View> viewAtAddress(std::uint64_t address) = 0;
    // Brings the application to the front (NSApplication activate).
    virtual void activateApplication() = 0;
    // makeKeyAndOrderFront: with a nil sender.
    virtual void makeKeyAndOrderFront(Window& window) = 0;
};

AppKit& appKit();

}  // namespace norvi::webauth
