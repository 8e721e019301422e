#include "audio-helper/tap/audio_object_properties.h"

#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "audio-helper/core/helper_error.h"
#include "audio-helper/tap/platform/core_audio_simulated.h"

namespace norvi::helper {
namespace {

using ::testing::ElementsAre;

std::string failureText(const std::function<void()>& action) {
    try {
        action();
    } catch (const HelperError& error) {
        return error.description();
    }
    return "no error";
}

TEST(OSStatusText, RendersFourCharacterCodesAndPlainNumbers) {
    struct Case {
        OSStatus status;
        const char* description;
    };
    const Case cases[] = {
        {2003329396, "2003329396 ('what')"},
        {-50, "-50"},
        {1234, "1234 ('1234')"},
        {1, "1"},
        {static_cast<OSStatus>(fourCharCode("!obj")), "560947818 ('!obj')"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(statusDescription(c.status), c.description);
        EXPECT_EQ(failureText([&] { checkOSStatus(c.status, "AudioDeviceStart"); }),
                  std::string("AudioDeviceStart failed with OSStatus ") + c.description + ".");
    }
    EXPECT_NO_THROW(checkOSStatus(0, "AudioDeviceStart"));
}

// Answers property reads with fixed raw data, to reach what the simulated machine never does.
class RawCoreAudio final : public CoreAudio {
  public:
    std::uint32_t reportedSize = 0;
    std::vector<std::uint32_t> data;
    // Bytes the data read claims to have written (and writes), at most what it is given.
    std::optional<std::uint32_t> writtenSize;
    std::vector<std::uint32_t> dataReadSizes;

    OSStatus AudioObjectGetPropertyDataSize(AudioObjectID, const AudioObjectPropertyAddress&,
                                            std::uint32_t, const void*,
                                            std::uint32_t* size) override {
        *size = reportedSize;
        return 0;
    }
    OSStatus AudioObjectGetPropertyData(AudioObjectID, const AudioObjectPropertyAddress&,
                                        std::uint32_t, const void*, std::uint32_t* size,
                                        void* out) override {
        dataReadSizes.push_back(*size);
        const std::uint32_t bytes = std::min<std::uint32_t>(
            writtenSize.value_or(*size), static_cast<std::uint32_t>(data.size() * 4));
        if (bytes > 0)
            std::memcpy(out, data.data(), std::min(bytes, *size));
        *size = bytes;
        return 0;
    }
    OSStatus AudioHardwareCreateProcessTap(const CATapDescription&, AudioObjectID*) override {
        return -1;
    }
    OSStatus AudioHardwareDestroyProcessTap(AudioObjectID) override { return -1; }
    OSStatus AudioHardwareCreateAggregateDevice(const CFDictionary&, AudioObjectID*) override {
        return -1;
    }
    OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID) override { return -1; }
    OSStatus AudioDeviceCreateIOProcID(AudioObjectID, AudioDeviceIOProc, void*,
                                       AudioDeviceIOProcID*) override {
        return -1;
    }
    OSStatus AudioDeviceDestroyIOProcID(AudioObjectID, AudioDeviceIOProcID) override { return -1; }
    OSStatus AudioDeviceStart(AudioObjectID, AudioDeviceIOProcID) override { return -1; }
    OSStatus AudioDeviceStop(AudioObjectID, AudioDeviceIOProcID) override { return -1; }
};

TEST(AudioObjectIDArray, RemovesZeroEntriesAndNeverReadsPastItsSlots) {
    RawCoreAudio coreAudio;
    coreAudio.data = {5, 0, 7, 0, 9};
    coreAudio.reportedSize = 20;
    EXPECT_THAT(audioObjectIDArray(coreAudio, 1, kAudioHardwarePropertyDevices,
                                   kAudioObjectPropertyScopeGlobal),
                ElementsAre(5, 7, 9));

    // 10 bytes: two whole slots, and the read is given exactly their 8 bytes.
    coreAudio.reportedSize = 10;
    coreAudio.dataReadSizes.clear();
    EXPECT_THAT(audioObjectIDArray(coreAudio, 1, kAudioHardwarePropertyDevices,
                                   kAudioObjectPropertyScopeGlobal),
                ElementsAre(5));
    EXPECT_THAT(coreAudio.dataReadSizes, ElementsAre(8));

    // A read that fills fewer slots than the size promised leaves zeros, which are removed.
    coreAudio.reportedSize = 20;
    coreAudio.writtenSize = 4;
    EXPECT_THAT(audioObjectIDArray(coreAudio, 1, kAudioHardwarePropertyDevices,
                                   kAudioObjectPropertyScopeGlobal),
                ElementsAre(5));

    // Sizes below one slot are an empty list, without a read.
    for (const std::uint32_t size : {0u, 3u}) {
        coreAudio.reportedSize = size;
        coreAudio.dataReadSizes.clear();
        EXPECT_TRUE(audioObjectIDArray(coreAudio, 1, kAudioHardwarePropertyDevices,
                                       kAudioObjectPropertyScopeGlobal)
                        .empty());
        EXPECT_TRUE(coreAudio.dataReadSizes.empty());
    }
}

TEST(AudioObjectValue, KeepsTheDefaultWhereNothingWasWritten) {
    RawCoreAudio coreAudio;
    coreAudio.writtenSize = 0;
    EXPECT_EQ(audioObjectValue(coreAudio, 1, kAudioDevicePropertyNominalSampleRate,
                               kAudioObjectPropertyScopeGlobal, 44100.0),
              44100.0);
}

std::shared_ptr<SimulatedCoreAudio> machine(const nlohmann::json& section) {
    return std::make_shared<SimulatedCoreAudio>(SimulatedCoreAudioConfig::fromSection(section),
                                                nullptr);
}

TEST(PropertyAccessors, ReadTheSimulatedMachine) {
    auto coreAudio = machine(nlohmann::json::object());
    const std::vector<AudioObjectID> devices =
        audioObjectIDArray(*coreAudio, kAudioObjectSystemObject, kAudioHardwarePropertyDevices,
                           kAudioObjectPropertyScopeGlobal);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(audioObjectCFString(*coreAudio, devices[0], kAudioObjectPropertyName,
                                  kAudioObjectPropertyScopeGlobal),
              "Built-in Microphone");
    EXPECT_EQ(audioObjectCFString(*coreAudio, devices[0], kAudioDevicePropertyDeviceUID,
                                  kAudioObjectPropertyScopeGlobal),
              "BuiltInMicrophoneDevice");
    EXPECT_EQ(audioObjectValue<AudioObjectID>(*coreAudio, kAudioObjectSystemObject,
                                              kAudioHardwarePropertyDefaultInputDevice,
                                              kAudioObjectPropertyScopeGlobal, 0),
              devices[0]);
    EXPECT_EQ(audioObjectIDArray(*coreAudio, devices[0], kAudioDevicePropertyStreams,
                                 kAudioObjectPropertyScopeInput)
                  .size(),
              1u);
}

TEST(PropertyAccessors, NameTheFailingCallAndSelector) {
    auto coreAudio = machine({
        {"devices", {{{"name", "Mic"}, {"uid", nullptr}, {"statuses", {{"lnam", 1234}}}}}},
        {"statuses",
         {{"AudioObjectGetPropertyDataSize", {{"dev#", -50}}},
          {"AudioObjectGetPropertyData", {{"dIn ", "what"}, {"stm#", 1}}}}},
    });
    const AudioObjectID device = coreAudio->deviceIDs().at(0);
    EXPECT_EQ(failureText([&] {
                  audioObjectIDArray(*coreAudio, kAudioObjectSystemObject,
                                     kAudioHardwarePropertyDevices,
                                     kAudioObjectPropertyScopeGlobal);
              }),
              "AudioObjectGetPropertyDataSize(dev#) failed with OSStatus -50.");
    EXPECT_EQ(failureText([&] {
                  audioObjectIDArray(*coreAudio, device, kAudioDevicePropertyStreams,
                                     kAudioObjectPropertyScopeInput);
              }),
              "AudioObjectGetPropertyData(stm#) failed with OSStatus 1.");
    EXPECT_EQ(failureText([&] {
                  audioObjectCFString(*coreAudio, device, kAudioDevicePropertyDeviceUID,
                                      kAudioObjectPropertyScopeGlobal);
              }),
              "AudioObjectGetPropertyData(uid ) returned nil.");
    EXPECT_EQ(failureText([&] {
                  audioObjectCFString(*coreAudio, device, kAudioObjectPropertyName,
                                      kAudioObjectPropertyScopeGlobal);
              }),
              "AudioObjectGetPropertyData(lnam) failed with OSStatus 1234 ('1234').");
    EXPECT_EQ(failureText([&] {
                  audioObjectValue<AudioObjectID>(*coreAudio, kAudioObjectSystemObject,
                                                  kAudioHardwarePropertyDefaultInputDevice,
                                                  kAudioObjectPropertyScopeGlobal, 0);
              }),
              "AudioObjectGetPropertyData(dIn ) failed with OSStatus 2003329396 ('what').");
}

}  // namespace
}  // namespace norvi::helper
