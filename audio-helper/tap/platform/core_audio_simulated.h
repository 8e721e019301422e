#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio-helper/tap/platform/core_audio.h"
#include "support/simulation/scenario.h"

namespace norvi::helper {

// What a device hears or the system plays: silence, a sine, or the samples of a WAV file.
struct SimulatedSignal {
    enum class Kind { silence, sine, wav };
    Kind kind = Kind::silence;
    double frequency = 440;
    double amplitude = 0.5;
    // The file's frames, interleaved, played at the device's rate.
    std::vector<float> samples;
    std::uint32_t channels = 1;
    bool loop = false;

    float sample(std::uint64_t frame, std::uint32_t channel, double sampleRate) const;
};

struct SimulatedProcess {
    std::int32_t pid = 0;
    // Absent: the bundle ID reads as null.
    std::optional<std::string> bundleID = std::string();
    bool runningInput = false;
    // Seconds after the machine was made; absent ends mean "always".
    std::optional<double> runningInputFrom;
    std::optional<double> runningInputUntil;
    std::optional<double> listedFrom;
    std::optional<double> listedUntil;
    // Statuses of reads of this object's properties, by selector.
    std::map<AudioObjectPropertySelector, OSStatus> statuses;
};

struct SimulatedDevice {
    // Absent: the property reads as null.
    std::optional<std::string> name;
    std::optional<std::string> uid;
    std::vector<AudioStreamBasicDescription> inputStreams;
    SimulatedSignal hears;
    std::map<AudioObjectPropertySelector, OSStatus> statuses;
};

// Every answer of the simulated hardware; the defaults are the default machine.
struct SimulatedCoreAudioConfig {
    bool includeHelperProcesses = true;
    std::vector<SimulatedProcess> processes;
    std::vector<SimulatedDevice> devices;
    // Index into `devices`; absent: no default input device.
    std::optional<std::size_t> defaultInputDevice;
    AudioStreamBasicDescription tapFormat;
    SimulatedSignal plays;
    double aggregateSampleRate = 48000;
    std::uint32_t ioCycleFrames = 480;
    bool realTime = true;
    std::optional<std::uint64_t> maximumIOCycles;
    // Absent: a start blocks until the machine is released (forever, for a program).
    std::optional<double> startDelaySeconds = 0.0;
    bool emptyIOProcID = false;
    // Status of an operation by its name; property reads also by selector (key 0: any).
    std::map<std::string, OSStatus> operationStatuses;
    std::map<std::string, std::map<AudioObjectPropertySelector, OSStatus>> propertyStatuses;

    static SimulatedCoreAudioConfig defaultMachine();
    // Reads a "coreAudio" section on top of the default machine; throws simulation::ScenarioError.
    static SimulatedCoreAudioConfig fromSection(const nlohmann::json& section);
};

// A small Core Audio of its own: the system object, process objects, input devices with their
// streams, taps, aggregate devices built from their descriptions, and an IO thread per started
// IO callback that delivers what the system plays and what the microphones hear.
class SimulatedCoreAudio final : public CoreAudio {
  public:
    SimulatedCoreAudio(SimulatedCoreAudioConfig config,
                       std::shared_ptr<simulation::CallRecorder> recorder);
    ~SimulatedCoreAudio() override;

    OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            std::uint32_t qualifierSize, const void* qualifier,
                                            std::uint32_t* outDataSize) override;
    OSStatus AudioObjectGetPropertyData(AudioObjectID object,
                                        const AudioObjectPropertyAddress& address,
                                        std::uint32_t qualifierSize, const void* qualifier,
                                        std::uint32_t* ioDataSize, void* outData) override;
    OSStatus AudioHardwareCreateProcessTap(const CATapDescription& description,
                                           AudioObjectID* outTapID) override;
    OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tap) override;
    OSStatus AudioHardwareCreateAggregateDevice(const CFDictionary& description,
                                                AudioObjectID* outDeviceID) override;
    OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID device) override;
    OSStatus AudioDeviceCreateIOProcID(AudioObjectID device, AudioDeviceIOProc proc,
                                       void* clientData, AudioDeviceIOProcID* outIOProcID) override;
    OSStatus AudioDeviceDestroyIOProcID(AudioObjectID device,
                                        AudioDeviceIOProcID ioProcID) override;
    OSStatus AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID ioProcID) override;
    OSStatus AudioDeviceStop(AudioObjectID device, AudioDeviceIOProcID ioProcID) override;

    // For tests: what exists now, and lets every blocked start return.
    std::size_t liveTaps() const;
    std::size_t liveAggregateDevices() const;
    std::size_t liveIOProcs() const;
    std::size_t runningIOProcs() const;
    std::vector<CATapDescription> createdTapDescriptions() const;
    std::vector<CFDictionary> createdAggregateDescriptions() const;
    // IO cycles delivered so far, over all callbacks.
    std::uint64_t deliveredIOCycles() const;
    void releaseBlockedStarts();
    // Object IDs of the configured devices, in configuration order.
    std::vector<AudioObjectID> deviceIDs() const;

  private:
    struct Object;
    struct IORun;
    struct IOProc;
    struct Property;

    Property readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          std::uint32_t qualifierSize, const void* qualifier);
    OSStatus overrideStatus(const std::string& operation) const;
    OSStatus propertyOverride(const std::string& operation, const Object* object,
                              AudioObjectPropertySelector selector) const;
    AudioObjectID addObject(std::unique_ptr<Object> object);
    // Stops the runs' threads and waits for them; called without the lock.
    static void joinRuns(const std::vector<std::shared_ptr<IORun>>& runs);
    double secondsSinceStart() const;
    void record(const char* call, nlohmann::json details) const;

    SimulatedCoreAudioConfig config_;
    std::shared_ptr<simulation::CallRecorder> recorder_;
    std::chrono::steady_clock::time_point madeAt_;

    mutable std::mutex mutex_;
    std::condition_variable startReleased_;
    bool releasingStarts_ = false;
    AudioObjectID nextObjectID_ = 100;
    std::uintptr_t nextIOProcID_ = 1;
    std::map<AudioObjectID, std::unique_ptr<Object>> objects_;
    std::vector<AudioObjectID> processOrder_;
    std::vector<AudioObjectID> deviceOrder_;
    std::map<std::uintptr_t, std::unique_ptr<IOProc>> ioProcs_;
    std::vector<CATapDescription> tapDescriptions_;
    std::vector<CFDictionary> aggregateDescriptions_;
    std::atomic<std::uint64_t> deliveredCycles_{0};
};

}  // namespace norvi::helper
