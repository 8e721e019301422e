#include "audio-helper/core/platform/pulse_core_graphics.h"

namespace norvi::helper {
namespace {

class PulseCoreGraphics final : public CoreGraphics {
  public:
    explicit PulseCoreGraphics(std::shared_ptr<pulse::PulseServerLink> link)
        : link_(std::move(link)) {}

    bool CGPreflightScreenCaptureAccess() override { return reachable(); }
    // Nobody is asked on this system: the answer is whether the server can be reached now.
    bool CGRequestScreenCaptureAccess() override { return reachable(); }
    std::uint32_t CGMainDisplayID() override { return 1; }

  private:
    bool reachable() {
        try {
            link_->connection();
            return true;
        } catch (const pulse::PulseError&) {
            return false;  // the link has written the reason
        }
    }

    std::shared_ptr<pulse::PulseServerLink> link_;
};

}  // namespace

std::shared_ptr<CoreGraphics> makePulseCoreGraphics(std::shared_ptr<pulse::PulseServerLink> link) {
    return std::make_shared<PulseCoreGraphics>(std::move(link));
}

}  // namespace norvi::helper
