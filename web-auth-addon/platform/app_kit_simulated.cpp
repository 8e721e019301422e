// The simulated AppKit: views and windows exist only when a test makes them; the main thread
// is the process's initial thread.
#include <unistd.h>
#include <map>

#include "web-auth-addon/platform/app_kit.h"
#include "web-auth-addon/platform/simulated_state.h"

namespace norvi::webauth {
namespace {

using simulated::recordCall;
using simulated::state;

class SimulatedView : public View {
  public:
    explicit SimulatedView(std::shared_ptr<Window> window) : window_(std::move(window)) {}
    std::shared_ptr<Window> window() const override { return window_; }

  private:
    std::shared_ptr<Window> window_;
};

// Guarded by the state's mutex. Views are never destroyed, so no address is ever reused.
std::map<std::uint64_t, std::shared_ptr<SimulatedView>>& views() {
    static auto* const shared = new std::map<std::uint64_t, std::shared_ptr<SimulatedView>>;
    return *shared;
}

class SimulatedAppKit : public AppKit {
  public:
    bool isMainThread() const override { return ::gettid() == ::getpid(); }

    std::shared_ptr<View> viewAtAddress(std::uint64_t address) override {
        std::lock_guard lock(state().mutex);
        auto found = views().find(address);
        return found == views().end() ? nullptr : found->second;
    }

    void activateApplication() override {
        std::lock_guard lock(state().mutex);
        recordCall(state(), "NSApplication.activate");
    }

    void makeKeyAndOrderFront(Window& window) override {
        std::lock_guard lock(state().mutex);
        recordCall(state(), "NSWindow.makeKeyAndOrderFront",
                   {{"window", simulated::windowNumber(window)}});
    }
};

}  // namespace

AppKit& appKit() {
    static SimulatedAppKit* const shared = new SimulatedAppKit;
    return *shared;
}

namespace simulated {

std::uint64_t makeView(bool attached) {
    std::lock_guard lock(state().mutex);
    std::shared_ptr<Window> window;
    if (attached)
        window = std::make_shared<SimulatedWindow>(++state().windowCount);
    auto view = std::make_shared<SimulatedView>(std::move(window));
    const auto address = reinterpret_cast<std::uintptr_t>(view.get());
    views().emplace(address, std::move(view));
    return address;
}

std::optional<int> windowNumberOfView(std::uint64_t address) {
    std::lock_guard lock(state().mutex);
    auto found = views().find(address);
    if (found == views().end() || !found->second->window())
        return std::nullopt;
    return windowNumber(*found->second->window());
}

}  // namespace simulated
}  // namespace norvi::webauth
