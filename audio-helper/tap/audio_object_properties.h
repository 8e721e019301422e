#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "audio-helper/tap/os_status.h"
#include "audio-helper/tap/platform/core_audio.h"

// Reads of Core Audio object properties (element 0) that turn every failing status into a
// HelperError naming the call and the selector.

namespace norvi::helper {

// "AudioObjectGetPropertyData(lnam)" and "AudioObjectGetPropertyDataSize(lnam)".
std::string propertyReadOperation(AudioObjectPropertySelector selector);
std::string propertySizeOperation(AudioObjectPropertySelector selector);

// An object list property, without its 0 entries.
std::vector<AudioObjectID> audioObjectIDArray(CoreAudio& coreAudio, AudioObjectID object,
                                              AudioObjectPropertySelector selector,
                                              AudioObjectPropertyScope scope);

// A string property; one that reads as null fails with "... returned nil.".
std::string audioObjectCFString(CoreAudio& coreAudio, AudioObjectID object,
                                AudioObjectPropertySelector selector,
                                AudioObjectPropertyScope scope);

// A fixed-size value property; bytes Core Audio does not write keep the default's.
template <typename T>
requires std::is_trivially_copyable_v<T> T audioObjectValue(CoreAudio& coreAudio,
                                                            AudioObjectID object,
                                                            AudioObjectPropertySelector selector,
                                                            AudioObjectPropertyScope scope,
                                                            T defaultValue) {
    const AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
    T value = defaultValue;
    std::uint32_t size = sizeof(T);
    checkOSStatus(coreAudio.AudioObjectGetPropertyData(object, address, 0, nullptr, &size, &value),
                  propertyReadOperation(selector));
    return value;
}

}  // namespace norvi::helper
