#include "audio-helper/tap/platform/core_audio_simulated.h"

#include <unistd.h>
#include <chrono>
#include <cstring>
#include <future>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "audio-helper/core/helper_error.h"
#include "audio-helper/tap/audio_object_properties.h"
#include "tests/support/process_runner.h"

namespace norvi::helper {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::shared_ptr<SimulatedCoreAudio> machine(
    const nlohmann::json& section = nlohmann::json::object(),
    std::shared_ptr<simulation::CallRecorder> recorder = nullptr) {
    return std::make_shared<SimulatedCoreAudio>(SimulatedCoreAudioConfig::fromSection(section),
                                                std::move(recorder));
}

AudioStreamBasicDescription streamFormat(CoreAudio& coreAudio, AudioObjectID stream) {
    AudioStreamBasicDescription format;
    std::uint32_t size = sizeof format;
    EXPECT_EQ(coreAudio.AudioObjectGetPropertyData(
                  stream, {kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal, 0},
                  0, nullptr, &size, &format),
              0);
    return format;
}

AudioObjectID translatePid(CoreAudio& coreAudio, std::int32_t pid) {
    AudioObjectID object = 0;
    std::uint32_t size = sizeof object;
    EXPECT_EQ(
        coreAudio.AudioObjectGetPropertyData(
            kAudioObjectSystemObject,
            {kAudioHardwarePropertyTranslatePIDToProcessObject, kAudioObjectPropertyScopeGlobal, 0},
            sizeof pid, &pid, &size, &object),
        0);
    return object;
}

std::vector<AudioObjectID> inputStreams(CoreAudio& coreAudio, AudioObjectID device) {
    return audioObjectIDArray(coreAudio, device, kAudioDevicePropertyStreams,
                              kAudioObjectPropertyScopeInput);
}

// A tap over everything, in an aggregate device with the default microphone.
struct TapAggregate {
    AudioObjectID tap = 0;
    AudioObjectID device = 0;
};

TapAggregate makeTapAggregate(CoreAudio& coreAudio, bool withMicrophone = true) {
    TapAggregate made;
    CATapDescription description = CATapDescription::stereoGlobalTapButExcludeProcesses({});
    EXPECT_EQ(coreAudio.AudioHardwareCreateProcessTap(description, &made.tap), 0);
    CFDictionary aggregate{{"name", "Aggregate"},
                           {"uid", "com.example.aggregate"},
                           {"private", true},
                           {"taps", {{{"drift", true}, {"uid", description.uuid}}}}};
    if (withMicrophone)
        aggregate["subdevices"] = {{{"uid", "BuiltInMicrophoneDevice"}}};
    EXPECT_EQ(coreAudio.AudioHardwareCreateAggregateDevice(aggregate, &made.device), 0);
    return made;
}

TEST(SimulatedCoreAudio, DefaultMachineHasTheHelperProcessesAndOneMicrophone) {
    auto coreAudio = machine();
    const std::vector<AudioObjectID> processes = audioObjectIDArray(
        *coreAudio, kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList,
        kAudioObjectPropertyScopeGlobal);
    EXPECT_THAT(processes, ElementsAre(translatePid(*coreAudio, getpid()),
                                       translatePid(*coreAudio, getppid())));
    EXPECT_EQ(translatePid(*coreAudio, 999999999), 0u);
    EXPECT_EQ(audioObjectCFString(*coreAudio, processes[0], kAudioProcessPropertyBundleID,
                                  kAudioObjectPropertyScopeGlobal),
              "");

    const AudioObjectID microphone = coreAudio->deviceIDs().at(0);
    const std::vector<AudioObjectID> streams = inputStreams(*coreAudio, microphone);
    ASSERT_EQ(streams.size(), 1u);
    const AudioStreamBasicDescription format = streamFormat(*coreAudio, streams[0]);
    EXPECT_EQ(format.mSampleRate, 48000);
    EXPECT_EQ(format.mChannelsPerFrame, 1u);
    EXPECT_EQ(format.mBytesPerFrame, 4u);
    EXPECT_EQ(format.mFormatFlags, 9u);
    // Output scope: a microphone has no output streams.
    EXPECT_TRUE(audioObjectIDArray(*coreAudio, microphone, kAudioDevicePropertyStreams,
                                   kAudioObjectPropertyScopeGlobal)
                    .empty());
}

TEST(SimulatedCoreAudio, AggregateCarriesTheSubDeviceStreamsThenTheTap) {
    auto coreAudio = machine();
    const TapAggregate made = makeTapAggregate(*coreAudio);
    AudioStreamBasicDescription tapFormat;
    std::uint32_t size = sizeof tapFormat;
    ASSERT_EQ(coreAudio->AudioObjectGetPropertyData(
                  made.tap, {kAudioTapPropertyFormat, kAudioObjectPropertyScopeGlobal, 0}, 0,
                  nullptr, &size, &tapFormat),
              0);
    EXPECT_EQ(tapFormat.mChannelsPerFrame, 2u);
    EXPECT_EQ(tapFormat.mBytesPerFrame, 8u);

    const std::vector<AudioObjectID> streams = inputStreams(*coreAudio, made.device);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streamFormat(*coreAudio, streams[0]).mChannelsPerFrame, 1u);
    EXPECT_EQ(streamFormat(*coreAudio, streams[1]).mChannelsPerFrame, 2u);
    EXPECT_EQ(audioObjectValue(*coreAudio, made.device, kAudioDevicePropertyNominalSampleRate,
                               kAudioObjectPropertyScopeGlobal, 0.0),
              48000.0);
    EXPECT_EQ(coreAudio->createdAggregateDescriptions().at(0)["uid"], "com.example.aggregate");

    EXPECT_EQ(coreAudio->AudioHardwareDestroyAggregateDevice(made.device), 0);
    EXPECT_EQ(coreAudio->AudioHardwareDestroyProcessTap(made.tap), 0);
    EXPECT_EQ(coreAudio->liveAggregateDevices(), 0u);
    EXPECT_EQ(coreAudio->liveTaps(), 0u);
    EXPECT_EQ(coreAudio->AudioHardwareDestroyProcessTap(made.tap), kAudioHardwareBadObjectError);
}

// What an IO callback saw, cycle by cycle.
struct Capture {
    std::mutex mutex;
    std::vector<std::vector<std::vector<float>>> cycles;
    std::vector<std::uint32_t> channels;
    std::atomic<bool> stopped{false};
    std::atomic<bool> calledAfterStop{false};
};

OSStatus captureCycle(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input,
                      const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*,
                      void* clientData) {
    auto& capture = *static_cast<Capture*>(clientData);
    if (capture.stopped)
        capture.calledAfterStop = true;
    std::lock_guard lock(capture.mutex);
    std::vector<std::vector<float>> buffers;
    capture.channels.clear();
    for (const AudioBuffer& buffer : audioBuffers(*input)) {
        std::vector<float> samples(buffer.mDataByteSize / sizeof(float));
        std::memcpy(samples.data(), buffer.mData, samples.size() * sizeof(float));
        buffers.push_back(std::move(samples));
        capture.channels.push_back(buffer.mNumberChannels);
    }
    capture.cycles.push_back(std::move(buffers));
    return 0;
}

void runCycles(CoreAudio& coreAudio, AudioObjectID device, Capture& capture, std::size_t cycles) {
    AudioDeviceIOProcID ioProc{};
    ASSERT_EQ(coreAudio.AudioDeviceCreateIOProcID(device, &captureCycle, &capture, &ioProc), 0);
    ASSERT_NE(ioProc, AudioDeviceIOProcID{});
    ASSERT_EQ(coreAudio.AudioDeviceStart(device, ioProc), 0);
    for (int i = 0; i < 2000; ++i) {
        {
            std::lock_guard lock(capture.mutex);
            if (capture.cycles.size() >= cycles)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(coreAudio.AudioDeviceStop(device, ioProc), 0);
    capture.stopped = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(capture.calledAfterStop);
    EXPECT_EQ(coreAudio.AudioDeviceDestroyIOProcID(device, ioProc), 0);
}

TEST(SimulatedCoreAudio, IOCyclesDeliverOneBufferPerStreamInStreamOrder) {
    auto coreAudio = machine({
        {"plays", {{"signal", "sine"}, {"frequency", 1000}, {"amplitude", 0.5}}},
        {"devices",
         {{{"name", "Mic"},
           {"uid", "BuiltInMicrophoneDevice"},
           {"hears", {{"signal", "sine"}, {"frequency", 75}, {"amplitude", 0.25}}}}}},
        {"realTime", false},
        {"maximumIOCycles", 3},
    });
    const TapAggregate made = makeTapAggregate(*coreAudio);
    Capture capture;
    runCycles(*coreAudio, made.device, capture, 3);
    ASSERT_EQ(capture.cycles.size(), 3u);
    EXPECT_THAT(capture.channels, ElementsAre(1, 2));
    const auto& first = capture.cycles[0];
    ASSERT_EQ(first[0].size(), 480u);
    ASSERT_EQ(first[1].size(), 960u);
    // Frame 12 of a 1 kHz sine at 48 kHz is a quarter period: the peak, on both tap channels.
    EXPECT_FLOAT_EQ(first[1][24], 0.5f);
    EXPECT_FLOAT_EQ(first[1][25], 0.5f);
    // 75 Hz: a quarter period is 160 frames; the next cycle starts three quarters in.
    EXPECT_FLOAT_EQ(first[0][160], 0.25f);
    EXPECT_FLOAT_EQ(capture.cycles[1][0][0], -0.25f);
    EXPECT_EQ(coreAudio->deliveredIOCycles(), 3u);
}

TEST(SimulatedCoreAudio, NonInterleavedStreamsGiveOneBufferPerChannelAndWavFilesPlay) {
    testing::TemporaryDirectory directory;
    // A 16-bit mono WAV file of four samples.
    std::string wav = "RIFF----WAVEfmt ";
    auto put = [&](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            wav += static_cast<char>((value >> (8 * i)) & 0xFF);
    };
    put(16, 4);
    put(1, 2);
    put(1, 2);
    put(48000, 4);
    put(96000, 4);
    put(2, 2);
    put(16, 2);
    wav += "data";
    put(8, 4);
    for (const std::int16_t sample :
         {std::int16_t(32767), std::int16_t(-32767), std::int16_t(0), std::int16_t(16384)}) {
        put(static_cast<std::uint16_t>(sample), 2);
    }
    const std::string path = directory.writeFile("four.wav", wav);
    auto coreAudio = machine({
        {"plays", {{"signal", "wav"}, {"path", path}}},
        {"tapFormat", {{"formatFlags", 41}, {"bytesPerFrame", 4}, {"bytesPerPacket", 4}}},
        {"realTime", false},
        {"maximumIOCycles", 1},
    });
    const TapAggregate made = makeTapAggregate(*coreAudio, false);
    Capture capture;
    runCycles(*coreAudio, made.device, capture, 1);
    ASSERT_EQ(capture.cycles.size(), 1u);
    EXPECT_THAT(capture.channels, ElementsAre(1, 1));
    const auto& left = capture.cycles[0][0];
    EXPECT_THAT(std::vector<float>(left.begin(), left.begin() + 5),
                ElementsAre(1.0f, -1.0f, 0.0f, 16384 / 32767.0f, 0.0f));
    EXPECT_EQ(capture.cycles[0][1], left);
}

TEST(SimulatedCoreAudio, StartCanBlockForAWhileOrUntilReleased) {
    auto delayed =
        machine({{"startDelaySeconds", 0.2}, {"realTime", false}, {"maximumIOCycles", 0}});
    const TapAggregate made = makeTapAggregate(*delayed);
    Capture capture;
    AudioDeviceIOProcID ioProc{};
    ASSERT_EQ(delayed->AudioDeviceCreateIOProcID(made.device, &captureCycle, &capture, &ioProc), 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(delayed->AudioDeviceStart(made.device, ioProc), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
    EXPECT_EQ(delayed->runningIOProcs(), 1u);
    EXPECT_EQ(delayed->AudioHardwareDestroyAggregateDevice(made.device), 0);
    EXPECT_EQ(delayed->liveIOProcs(), 0u);

    auto forever = machine({{"startDelaySeconds", "forever"}});
    const TapAggregate blocked = makeTapAggregate(*forever);
    ASSERT_EQ(forever->AudioDeviceCreateIOProcID(blocked.device, &captureCycle, &capture, &ioProc),
              0);
    auto start = std::async(std::launch::async,
                            [&] { return forever->AudioDeviceStart(blocked.device, ioProc); });
    EXPECT_EQ(start.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    // The device goes while the start is blocked: the start then fails.
    EXPECT_EQ(forever->AudioHardwareDestroyAggregateDevice(blocked.device), 0);
    forever->releaseBlockedStarts();
    EXPECT_EQ(start.get(), kAudioHardwareBadObjectError);
    EXPECT_EQ(forever->runningIOProcs(), 0u);
}

TEST(SimulatedCoreAudio, ScenarioStatusesReachEveryOperation) {
    auto coreAudio = machine({{"statuses",
                               {{"AudioHardwareCreateProcessTap", 1},
                                {"AudioHardwareCreateAggregateDevice", "nope"},
                                {"AudioDeviceCreateIOProcID", -50},
                                {"AudioObjectGetPropertyData", {{"tfmt", 7}}}}}});
    AudioObjectID object = 0;
    EXPECT_EQ(coreAudio->AudioHardwareCreateProcessTap(
                  CATapDescription::stereoGlobalTapButExcludeProcesses({}), &object),
              1);
    EXPECT_EQ(coreAudio->AudioHardwareCreateAggregateDevice(CFDictionary::object(), &object),
              kAudioHardwareIllegalOperationError);
    AudioDeviceIOProcID ioProc{};
    EXPECT_EQ(coreAudio->AudioDeviceCreateIOProcID(coreAudio->deviceIDs()[0], &captureCycle,
                                                   nullptr, &ioProc),
              -50);

    auto empty =
        machine({{"emptyIOProcID", true}, {"statuses", {{"AudioDeviceStart", 2003329396}}}});
    ioProc = AudioDeviceIOProcID{5};
    EXPECT_EQ(
        empty->AudioDeviceCreateIOProcID(empty->deviceIDs()[0], &captureCycle, nullptr, &ioProc),
        0);
    EXPECT_EQ(ioProc, AudioDeviceIOProcID{});
    EXPECT_EQ(empty->AudioDeviceStart(empty->deviceIDs()[0], ioProc), 2003329396);
}

TEST(SimulatedCoreAudio, ProcessesRecordAndAppearAsTheScenarioSays) {
    auto coreAudio =
        machine({{"includeHelperProcesses", false},
                 {"processes",
                  {{{"pid", 501}, {"bundleID", "com.example.call"}, {"runningInput", true}},
                   {{"pid", 502}, {"bundleID", nullptr}},
                   {{"pid", 503}, {"listedBetween", {100, nullptr}}}}}});
    const std::vector<AudioObjectID> processes = audioObjectIDArray(
        *coreAudio, kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList,
        kAudioObjectPropertyScopeGlobal);
    ASSERT_EQ(processes.size(), 2u);
    EXPECT_EQ(translatePid(*coreAudio, 503), 0u);
    EXPECT_EQ(audioObjectValue<std::uint32_t>(*coreAudio, processes[0],
                                              kAudioProcessPropertyIsRunningInput,
                                              kAudioObjectPropertyScopeGlobal, 0),
              1u);
    EXPECT_EQ(audioObjectValue<std::uint32_t>(*coreAudio, processes[1],
                                              kAudioProcessPropertyIsRunningInput,
                                              kAudioObjectPropertyScopeGlobal, 0),
              0u);
    EXPECT_THROW(audioObjectCFString(*coreAudio, processes[1], kAudioProcessPropertyBundleID,
                                     kAudioObjectPropertyScopeGlobal),
                 HelperError);
}

TEST(SimulatedCoreAudio, RejectsScenariosItCannotUse) {
    const nlohmann::json bad[] = {
        {{"unknown", 1}},
        {{"statuses", {{"AudioDeviceFly", 1}}}},
        {{"statuses", {{"AudioObjectGetPropertyData", {{"toolong", 1}}}}}},
        {{"startDelaySeconds", "later"}},
        {{"devices", {{{"hears", {{"signal", "noise"}}}}}}},
        {{"plays", {{"signal", "wav"}, {"path", "/nonexistent/file.wav"}}}},
        {{"defaultInputDevice", 3}},
        {{"ioCycleFrames", 0}},
    };
    for (const nlohmann::json& section : bad) {
        EXPECT_THROW(SimulatedCoreAudioConfig::fromSection(section), simulation::ScenarioError)
            << section.dump();
    }
}

TEST(SimulatedCoreAudio, RecordsEveryCallWithWhatWasPassed) {
    testing::TemporaryDirectory directory;
    const std::string path = directory.path() + "/calls.jsonl";
    auto coreAudio =
        machine(nlohmann::json::object(), std::make_shared<simulation::CallRecorder>(path));
    CATapDescription description = CATapDescription::stereoGlobalTapButExcludeProcesses({101, 102});
    description.name = "Probe";
    description.isPrivate = true;
    description.muteBehavior = CATapMuteBehavior::mutedWhenTapped;
    AudioObjectID tap = 0;
    ASSERT_EQ(coreAudio->AudioHardwareCreateProcessTap(description, &tap), 0);
    translatePid(*coreAudio, 77);
    coreAudio->AudioHardwareDestroyProcessTap(tap);

    const std::vector<std::string> lines = testing::splitLines(testing::readFile(path));
    ASSERT_EQ(lines.size(), 3u);
    const nlohmann::json created = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(created["call"], "AudioHardwareCreateProcessTap");
    EXPECT_EQ(created["processes"], nlohmann::json({101, 102}));
    EXPECT_EQ(created["name"], "Probe");
    EXPECT_EQ(created["private"], true);
    EXPECT_EQ(created["muteBehavior"], 2);
    EXPECT_EQ(created["uuid"], description.uuid);
    EXPECT_EQ(created["tap"], tap);
    EXPECT_THAT(lines[1], HasSubstr("\"qualifier\":77"));
    EXPECT_THAT(lines[1], HasSubstr("\"selector\":\"id2p\""));
    EXPECT_THAT(lines[2], HasSubstr("\"call\":\"AudioHardwareDestroyProcessTap\""));
}

TEST(SimulatedCoreAudio, TapDescriptionsHaveFreshCanonicalUUIDs) {
    const std::string first = CATapDescription::stereoGlobalTapButExcludeProcesses({}).uuid;
    const std::string second = CATapDescription::stereoGlobalTapButExcludeProcesses({}).uuid;
    EXPECT_NE(first, second);
    ASSERT_EQ(first.size(), 36u);
    for (std::size_t i = 0; i < first.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(first[i], '-');
        } else {
            EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(first[i])) &&
                        !std::islower(first[i]))
                << first;
        }
    }
}

}  // namespace
}  // namespace norvi::helper
