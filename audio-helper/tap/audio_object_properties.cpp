#include "audio-helper/tap/audio_object_properties.h"

#include <algorithm>
#include <memory>

#include "audio-helper/core/audio_format_description.h"
#include "audio-helper/core/helper_error.h"

namespace norvi::helper {

std::string propertyReadOperation(AudioObjectPropertySelector selector) {
    return "AudioObjectGetPropertyData(" + fourCC(selector) + ")";
}

std::string propertySizeOperation(AudioObjectPropertySelector selector) {
    return "AudioObjectGetPropertyDataSize(" + fourCC(selector) + ")";
}

std::vector<AudioObjectID> audioObjectIDArray(CoreAudio& coreAudio, AudioObjectID object,
                                              AudioObjectPropertySelector selector,
                                              AudioObjectPropertyScope scope) {
    const AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
    std::uint32_t size = 0;
    checkOSStatus(coreAudio.AudioObjectGetPropertyDataSize(object, address, 0, nullptr, &size),
                  propertySizeOperation(selector));
    // Whole entries only: a size that is not a multiple of four is cut down to the slots, so
    // the read can never write past them.
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), kAudioObjectUnknown);
    if (ids.empty())
        return ids;
    std::uint32_t readSize = static_cast<std::uint32_t>(ids.size() * sizeof(AudioObjectID));
    checkOSStatus(
        coreAudio.AudioObjectGetPropertyData(object, address, 0, nullptr, &readSize, ids.data()),
        propertyReadOperation(selector));
    std::erase(ids, kAudioObjectUnknown);
    return ids;
}

std::string audioObjectCFString(CoreAudio& coreAudio, AudioObjectID object,
                                AudioObjectPropertySelector selector,
                                AudioObjectPropertyScope scope) {
    const AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
    CFStringRef string = nullptr;
    std::uint32_t size = sizeof string;
    checkOSStatus(coreAudio.AudioObjectGetPropertyData(object, address, 0, nullptr, &size, &string),
                  propertyReadOperation(selector));
    if (string == nullptr) {
        throw HelperError(propertyReadOperation(selector) + " returned nil.");
    }
    const std::unique_ptr<const CFString, void (*)(CFStringRef)> owned(string, &CFRelease);
    return owned->text;
}

}  // namespace norvi::helper
