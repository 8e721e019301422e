#include "audio-helper/tap/platform/core_audio.h"

#include "audio-helper/tap/platform/uuid_text.h"

namespace norvi::helper {

CATapDescription CATapDescription::stereoGlobalTapButExcludeProcesses(
    std::vector<AudioObjectID> processes) {
    CATapDescription description;
    description.processes = std::move(processes);
    description.isExclusive = true;
    description.isMono = false;
    description.uuid = makeUUIDText();
    return description;
}

}  // namespace norvi::helper
