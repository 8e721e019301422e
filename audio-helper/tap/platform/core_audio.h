#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio-helper/core/command_options.h"
#include "audio-helper/core/platform/core_audio_types.h"

// The Core Audio hardware layer as the helper uses it: object properties, process taps,
// aggregate devices and IO callbacks. Every operation returns a status, 0 on success.

namespace norvi::simulation {
class Scenario;
}

namespace norvi::helper {

using AudioObjectID = std::uint32_t;
using AudioObjectPropertySelector = std::uint32_t;
using AudioObjectPropertyScope = std::uint32_t;
using AudioObjectPropertyElement = std::uint32_t;

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector = 0;
    AudioObjectPropertyScope mScope = 0;
    AudioObjectPropertyElement mElement = 0;
};

constexpr AudioObjectID kAudioObjectUnknown = 0;
constexpr AudioObjectID kAudioObjectSystemObject = 1;

constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = fourCharCode("inpt");
constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;

constexpr AudioObjectPropertySelector kAudioTapPropertyFormat = fourCharCode("tfmt");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyTranslatePIDToProcessObject =
    fourCharCode("id2p");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyProcessObjectList =
    fourCharCode("prs#");
constexpr AudioObjectPropertySelector kAudioProcessPropertyBundleID = fourCharCode("pbid");
constexpr AudioObjectPropertySelector kAudioProcessPropertyIsRunningInput = fourCharCode("piri");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = fourCharCode("dev#");
constexpr AudioObjectPropertySelector kAudioDevicePropertyStreams = fourCharCode("stm#");
constexpr AudioObjectPropertySelector kAudioObjectPropertyName = fourCharCode("lnam");
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = fourCharCode("uid ");
constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice =
    fourCharCode("dIn ");
constexpr AudioObjectPropertySelector kAudioDevicePropertyNominalSampleRate = fourCharCode("nsrt");
constexpr AudioObjectPropertySelector kAudioStreamPropertyVirtualFormat = fourCharCode("sfmt");

constexpr OSStatus kAudioHardwareNoError = 0;
constexpr OSStatus kAudioHardwareUnspecifiedError = static_cast<OSStatus>(fourCharCode("what"));
constexpr OSStatus kAudioHardwareUnknownPropertyError = static_cast<OSStatus>(fourCharCode("who?"));
constexpr OSStatus kAudioHardwareBadPropertySizeError = static_cast<OSStatus>(fourCharCode("!siz"));
constexpr OSStatus kAudioHardwareIllegalOperationError =
    static_cast<OSStatus>(fourCharCode("nope"));
constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(fourCharCode("!obj"));
constexpr OSStatus kAudioHardwareBadDeviceError = static_cast<OSStatus>(fourCharCode("!dev"));

// A string that Core Audio hands over; the receiver releases it with CFRelease.
struct CFString {
    std::string text;
};
using CFStringRef = const CFString*;
inline CFStringRef CFStringCreate(std::string text) {
    return new CFString{std::move(text)};
}
inline void CFRelease(CFStringRef string) {
    delete string;
}

// A property-list dictionary (text keys; boolean, text, list and dictionary values), as the
// aggregate device description is passed.
using CFDictionary = nlohmann::json;

// A process tap's description. The initializer sets the processes and makes a fresh UUID.
class CATapDescription {
  public:
    // A stereo mixdown of every process except `processes` (process object IDs).
    static CATapDescription stereoGlobalTapButExcludeProcesses(
        std::vector<AudioObjectID> processes);

    std::vector<AudioObjectID> processes;
    bool isExclusive = true;
    bool isMono = false;
    std::string name;
    bool isPrivate = false;
    CATapMuteBehavior muteBehavior = CATapMuteBehavior::unmuted;
    // Canonical upper-case text, 8-4-4-4-12 hexadecimal digits.
    std::string uuid;
};

struct AudioTimeStamp {
    double mSampleTime = 0;
    std::uint64_t mHostTime = 0;
};

using AudioDeviceIOProc = OSStatus (*)(AudioObjectID device, const AudioTimeStamp* now,
                                       const AudioBufferList* inputData,
                                       const AudioTimeStamp* inputTime, AudioBufferList* outputData,
                                       const AudioTimeStamp* outputTime, void* clientData);

// A registration of an IO callback on a device; the zero value is no registration.
enum class AudioDeviceIOProcID : std::uintptr_t {};

class CoreAudio {
  public:
    virtual ~CoreAudio() = default;

    // `qualifier` (of `qualifierSize` bytes) may be null.
    virtual OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    std::uint32_t qualifierSize,
                                                    const void* qualifier,
                                                    std::uint32_t* outDataSize) = 0;
    // Writes at most *ioDataSize bytes to `outData` and sets *ioDataSize to the bytes written.
    // A string property writes one CFStringRef that the caller releases (possibly null).
    virtual OSStatus AudioObjectGetPropertyData(AudioObjectID object,
                                                const AudioObjectPropertyAddress& address,
                                                std::uint32_t qualifierSize, const void* qualifier,
                                                std::uint32_t* ioDataSize, void* outData) = 0;

    virtual OSStatus AudioHardwareCreateProcessTap(const CATapDescription& description,
                                                   AudioObjectID* outTapID) = 0;
    virtual OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tap) = 0;
    virtual OSStatus AudioHardwareCreateAggregateDevice(const CFDictionary& description,
                                                        AudioObjectID* outDeviceID) = 0;
    virtual OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID device) = 0;

    virtual OSStatus AudioDeviceCreateIOProcID(AudioObjectID device, AudioDeviceIOProc proc,
                                               void* clientData,
                                               AudioDeviceIOProcID* outIOProcID) = 0;
    virtual OSStatus AudioDeviceDestroyIOProcID(AudioObjectID device,
                                                AudioDeviceIOProcID ioProcID) = 0;
    // May block for a long time. Once it has succeeded the callback runs once per IO cycle, on
    // the device's IO thread, until AudioDeviceStop.
    virtual OSStatus AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID ioProcID) = 0;
    // Returns once the callback has run for the last time.
    virtual OSStatus AudioDeviceStop(AudioObjectID device, AudioDeviceIOProcID ioProcID) = 0;
};

// The simulated hardware of a scenario's "coreAudio" section (docs/simulation.md); throws
// simulation::ScenarioError for a section it cannot use.
std::shared_ptr<CoreAudio> makeSimulatedCoreAudio(const simulation::Scenario& scenario);

}  // namespace norvi::helper
