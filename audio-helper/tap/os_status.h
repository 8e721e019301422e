#pragma once

#include <string>
#include <string_view>

#include "audio-helper/core/platform/core_audio_types.h"

namespace norvi::helper {

// Throws HelperError "<operation> failed with OSStatus <statusDescription>." unless status is 0.
void checkOSStatus(OSStatus status, std::string_view operation);

// "2003329396 ('what')" when the status reads as four characters (printable bytes, or a
// four-digit decimal), otherwise the signed decimal alone ("-50").
std::string statusDescription(OSStatus status);

}  // namespace norvi::helper
