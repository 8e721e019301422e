#include "audio-helper/core/commands.h"
#include "audio-helper/core/output_records.h"

namespace norvi::helper {

void runScreenAccess(HelperContext& context) {
    CoreGraphics& coreGraphics = *context.platform.coreGraphics;
    const bool preflight = coreGraphics.CGPreflightScreenCaptureAccess();
    const bool granted = preflight || coreGraphics.CGRequestScreenCaptureAccess();
    printJSON(ScreenCaptureAccessResult{
        .granted = granted,
        .requested = !preflight,
        .status = granted ? "granted" : "denied",
    });
}

}  // namespace norvi::helper
