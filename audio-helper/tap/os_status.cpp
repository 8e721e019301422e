#include "audio-helper/tap/os_status.h"

#include "audio-helper/core/audio_format_description.h"
#include "audio-helper/core/helper_error.h"

namespace norvi::helper {

void checkOSStatus(OSStatus status, std::string_view operation) {
    if (status != 0) {
        throw HelperError(std::string(operation) + " failed with OSStatus " +
                          statusDescription(status) + ".");
    }
}

std::string statusDescription(OSStatus status) {
    const std::string code = fourCC(static_cast<std::uint32_t>(status));
    const std::string number = std::to_string(status);
    return code.size() == 4 ? number + " ('" + code + "')" : number;
}

}  // namespace norvi::helper
