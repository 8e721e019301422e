#pragma once

#include <string>
#include <vector>

#include "audio-helper/tap/platform/core_audio.h"

namespace norvi::helper {

// The bundle IDs of the processes Core Audio reports as recording from a microphone: no
// duplicates, in ascending code-point order. Unreadable objects are left out; never fails.
std::vector<std::string> microphoneAppBundleIDs(CoreAudio& coreAudio);

}  // namespace norvi::helper
