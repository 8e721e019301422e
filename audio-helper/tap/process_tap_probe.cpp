#include "audio-helper/tap/process_tap_probe.h"

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "audio-helper/core/audio_format_description.h"
#include "audio-helper/core/helper_error.h"
#include "audio-helper/tap/audio_object_properties.h"
#include "audio-helper/tap/platform/uuid_text.h"
#include "support/number_text.h"

namespace norvi::helper {
namespace {

constexpr char tapName[] = "Norvi Process Tap Probe";
constexpr char aggregateName[] = "Norvi Process Tap Aggregate";
constexpr char aggregateUIDPrefix[] = "com.norvi.audio-helper.tap.";
// Longer limits than this (about 31 years), and infinite ones, mean waiting without a limit.
constexpr double longestStartLimitSeconds = 1e9;

AudioStreamBasicDescription readFormat(CoreAudio& coreAudio, AudioObjectID object,
                                       AudioObjectPropertySelector selector) {
    AudioStreamBasicDescription format{};
    std::uint32_t size = sizeof format;
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    checkOSStatus(coreAudio.AudioObjectGetPropertyData(object, address, 0, nullptr, &size, &format),
                  propertyReadOperation(selector));
    return format;
}

}  // namespace

std::vector<AudioObjectID> excludedGlobalTapProcessIDs(CoreAudio& coreAudio,
                                                       const CommandOptions& options) {
    std::vector<AudioObjectID> excluded;
    std::unordered_set<AudioObjectID> seen;
    auto appendExcludedProcessID = [&](AudioObjectID process) {
        if (seen.insert(process).second) {
            excluded.push_back(process);
        }
    };
    std::vector<std::int32_t> candidates = {static_cast<std::int32_t>(getpid()),
                                            static_cast<std::int32_t>(getppid())};
    candidates.insert(candidates.end(), options.excludedPids.begin(), options.excludedPids.end());
    const AudioObjectPropertyAddress translate{kAudioHardwarePropertyTranslatePIDToProcessObject,
                                               kAudioObjectPropertyScopeGlobal,
                                               kAudioObjectPropertyElementMain};
    for (const std::int32_t pid : candidates) {
        if (pid < 2) {
            continue;
        }
        AudioObjectID process = kAudioObjectUnknown;
        std::uint32_t size = sizeof process;
        if (coreAudio.AudioObjectGetPropertyData(kAudioObjectSystemObject, translate, sizeof pid,
                                                 &pid, &size, &process) != 0 ||
            process == kAudioObjectUnknown) {
            continue;
        }
        appendExcludedProcessID(process);
    }
    if (options.excludedBundleIDs.empty()) {
        return excluded;
    }
    std::vector<AudioObjectID> processes;
    try {
        processes = audioObjectIDArray(coreAudio, kAudioObjectSystemObject,
                                       kAudioHardwarePropertyProcessObjectList,
                                       kAudioObjectPropertyScopeGlobal);
    } catch (const HelperError&) {
        // An unreadable list excludes nothing more.
    }
    for (const AudioObjectID process : processes) {
        std::string bundleID;
        try {
            bundleID = audioObjectCFString(coreAudio, process, kAudioProcessPropertyBundleID,
                                           kAudioObjectPropertyScopeGlobal);
        } catch (const HelperError&) {
            continue;
        }
        if (std::find(options.excludedBundleIDs.begin(), options.excludedBundleIDs.end(),
                      bundleID) != options.excludedBundleIDs.end()) {
            appendExcludedProcessID(process);
        }
    }
    return excluded;
}

CFDictionary aggregateDeviceDescription(const std::string& tapUUID,
                                        const std::optional<InputDevice>& microphone) {
    CFDictionary description = CFDictionary::object();
    description["private"] = true;
    description["name"] = aggregateName;
    description["tapautostart"] = false;
    description["taps"] = CFDictionary::array({CFDictionary{{"drift", true}, {"uid", tapUUID}}});
    description["uid"] = aggregateUIDPrefix + makeUUIDText();
    if (microphone) {
        description["master"] = microphone->uid;
        description["subdevices"] = CFDictionary::array({CFDictionary{{"uid", microphone->uid}}});
    }
    return description;
}

ProcessTapProbe::ProcessTapProbe(std::shared_ptr<CoreAudio> coreAudio,
                                 std::shared_ptr<PcmJsonLineWriter> streamWriter)
    : coreAudio_(std::move(coreAudio)), streamWriter_(std::move(streamWriter)) {}

void ProcessTapProbe::start(const CommandOptions& options) {
    CATapDescription description = CATapDescription::stereoGlobalTapButExcludeProcesses(
        excludedGlobalTapProcessIDs(*coreAudio_, options));
    description.name = tapName;
    description.isPrivate = true;
    description.muteBehavior = options.muteBehavior;
    AudioObjectID tap = kAudioObjectUnknown;
    const OSStatus tapStatus = coreAudio_->AudioHardwareCreateProcessTap(description, &tap);
    tapObjectID_ = tap;
    checkOSStatus(tapStatus, "AudioHardwareCreateProcessTap");
    const std::string tapUUID = description.uuid;

    tapFormat_ = readFormat(*coreAudio_, tapObjectID_, kAudioTapPropertyFormat);
    if (streamWriter_) {
        streamWriter_->writeStarted(tapFormat_);
    }

    std::optional<InputDevice> microphone;
    if (options.microphone) {
        microphone = resolveInputDevice(*coreAudio_, *options.microphone);
        if (streamWriter_) {
            streamWriter_->writeDiagnostic("microphone_selected",
                                           PcmJsonLineWriter::Details{{"name", microphone->name}});
        }
    }

    AudioObjectID device = kAudioObjectUnknown;
    const OSStatus deviceStatus = coreAudio_->AudioHardwareCreateAggregateDevice(
        aggregateDeviceDescription(tapUUID, microphone), &device);
    aggregateDeviceID_ = device;
    checkOSStatus(deviceStatus, "AudioHardwareCreateAggregateDevice");

    if (microphone) {
        readMixFormat();
    }

    AudioDeviceIOProcID ioProcID{};
    checkOSStatus(coreAudio_->AudioDeviceCreateIOProcID(
                      aggregateDeviceID_, &ProcessTapProbe::processTapIOProc, this, &ioProcID),
                  "AudioDeviceCreateIOProcID");
    if (ioProcID == AudioDeviceIOProcID{}) {
        throw HelperError("AudioDeviceCreateIOProcID did not return an IOProc ID.");
    }
    ioProcID_ = ioProcID;
    startAudioDevice(ioProcID, options.startTimeoutSeconds);
}

void ProcessTapProbe::readMixFormat() {
    const double sampleRate =
        audioObjectValue(*coreAudio_, aggregateDeviceID_, kAudioDevicePropertyNominalSampleRate,
                         kAudioObjectPropertyScopeGlobal, 0.0);
    if (!(sampleRate > 0)) {
        throw HelperError("The microphone aggregate reported no sample rate.");
    }
    std::vector<AudioStreamBasicDescription> formats;
    for (const AudioObjectID stream :
         audioObjectIDArray(*coreAudio_, aggregateDeviceID_, kAudioDevicePropertyStreams,
                            kAudioObjectPropertyScopeInput)) {
        formats.push_back(readFormat(*coreAudio_, stream, kAudioStreamPropertyVirtualFormat));
    }
    mixStreamFormats_ = std::move(formats);
    mixSampleRate_ = sampleRate;
    if (streamWriter_) {
        std::string streams;
        for (const AudioStreamBasicDescription& format : mixStreamFormats_) {
            streams += (streams.empty() ? "" : " | ") + describeAudioFormat(format);
        }
        streamWriter_->writeDiagnostic(
            "microphone_mix_format",
            PcmJsonLineWriter::Details{{"sampleRate", doubleDescription(sampleRate)},
                                       {"streams", streams}});
    }
}

void ProcessTapProbe::startAudioDevice(AudioDeviceIOProcID ioProcID, double timeoutSeconds) {
    // The start runs on its own thread, which may never come back; only this cell is shared.
    struct Outcome {
        std::mutex lock;
        std::condition_variable signalled;
        bool returned = false;
        std::optional<OSStatus> status;
    };
    auto outcome = std::make_shared<Outcome>();
    std::thread([coreAudio = coreAudio_, device = aggregateDeviceID_, ioProcID, outcome] {
        const OSStatus status = coreAudio->AudioDeviceStart(device, ioProcID);
        {
            std::lock_guard guard(outcome->lock);
            outcome->status = status;
            outcome->returned = true;
        }
        outcome->signalled.notify_all();
    }).detach();

    std::unique_lock guard(outcome->lock);
    const auto returned = [&] { return outcome->returned; };
    if (timeoutSeconds <= longestStartLimitSeconds) {
        outcome->signalled.wait_for(guard,
                                    std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::duration<double>(timeoutSeconds)),
                                    returned);
    } else {
        outcome->signalled.wait(guard, returned);
    }
    if (outcome->returned) {
        const OSStatus status = outcome->status.value_or(kAudioHardwareUnspecifiedError);
        guard.unlock();
        checkOSStatus(status, "AudioDeviceStart");
        return;
    }
    guard.unlock();
    stop();
    throw HelperError(
        "AudioDeviceStart did not return within " + doubleDescription(timeoutSeconds) +
        "s. The tap aggregate may be waiting for active audio or may need a different read path.");
}

OSStatus ProcessTapProbe::processTapIOProc(AudioObjectID, const AudioTimeStamp*,
                                           const AudioBufferList* input, const AudioTimeStamp*,
                                           AudioBufferList*, const AudioTimeStamp*,
                                           void* clientData) {
    // The owner keeps the probe alive until stop() has returned, and the device stops calling
    // before that.
    if (clientData != nullptr && input != nullptr) {
        static_cast<ProcessTapProbe*>(clientData)->recordInput(*input);
    }
    return 0;
}

void ProcessTapProbe::recordInput(const AudioBufferList& input) {
    if (!mixSampleRate_) {
        if (streamWriter_) {
            streamWriter_->recordBufferList(&input, tapFormat_);
        }
        return;
    }
    const std::span<const float> mixed = mixer_.mix(input, mixStreamFormats_);
    if (!mixed.empty() && streamWriter_) {
        streamWriter_->recordMonoSamples(mixed, *mixSampleRate_);
    }
}

void ProcessTapProbe::stop() {
    if (ioProcID_ && aggregateDeviceID_ != kAudioObjectUnknown) {
        coreAudio_->AudioDeviceStop(aggregateDeviceID_, *ioProcID_);
        coreAudio_->AudioDeviceDestroyIOProcID(aggregateDeviceID_, *ioProcID_);
        ioProcID_.reset();
    }
    if (aggregateDeviceID_ != kAudioObjectUnknown) {
        coreAudio_->AudioHardwareDestroyAggregateDevice(aggregateDeviceID_);
        aggregateDeviceID_ = kAudioObjectUnknown;
    }
    if (tapObjectID_ != kAudioObjectUnknown) {
        coreAudio_->AudioHardwareDestroyProcessTap(tapObjectID_);
        tapObjectID_ = kAudioObjectUnknown;
    }
}

}  // namespace norvi::helper
