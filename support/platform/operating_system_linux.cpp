#include "support/platform/operating_system.h"

namespace norvi {
namespace {

class LinuxOperatingSystem final : public OperatingSystem {
public:
    bool isOperatingSystemAtLeast(OperatingSystemVersion) const override { return true; }
};

}  // namespace

std::unique_ptr<OperatingSystem> makeLinuxOperatingSystem() {
    return std::make_unique<LinuxOperatingSystem>();
}

}  // namespace norvi
