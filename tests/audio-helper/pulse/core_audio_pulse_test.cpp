#include <unistd.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "audio-helper/core/helper_error.h"
#include "audio-helper/tap/audio_object_properties.h"
#include "audio-helper/tap/platform/core_audio_pulse.h"
#include "tests/audio-helper/pulse/pulse_test_support.h"

namespace norvi::helper {
namespace {

using namespace std::chrono_literals;
using pulsetest::DetachedProcess;
using pulsetest::eventually;

// The backend under test, connected to the test server (or to none).
std::shared_ptr<CoreAudio> backend(const std::string& server) {
    ::setenv("PULSE_SERVER", server.c_str(), 1);
    return makePulseCoreAudio(std::make_shared<pulse::PulseServerLink>());
}

std::vector<AudioObjectID> list(CoreAudio& coreAudio, AudioObjectID object,
                                AudioObjectPropertySelector selector,
                                AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return audioObjectIDArray(coreAudio, object, selector, scope);
}

AudioObjectID processObject(CoreAudio& coreAudio, pid_t pid) {
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyTranslatePIDToProcessObject,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    const std::int32_t qualifier = pid;
    AudioObjectID object = 0;
    std::uint32_t size = sizeof object;
    EXPECT_EQ(coreAudio.AudioObjectGetPropertyData(kAudioObjectSystemObject, address,
                                                   sizeof qualifier, &qualifier, &size, &object),
              0);
    return object;
}

std::uint32_t runningInput(CoreAudio& coreAudio, AudioObjectID process) {
    return audioObjectValue<std::uint32_t>(coreAudio, process, kAudioProcessPropertyIsRunningInput,
                                           kAudioObjectPropertyScopeGlobal, 0);
}

AudioStreamBasicDescription streamFormat(CoreAudio& coreAudio, AudioObjectID stream) {
    const AudioObjectPropertyAddress address{kAudioStreamPropertyVirtualFormat,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    AudioStreamBasicDescription format{};
    std::uint32_t size = sizeof format;
    EXPECT_EQ(coreAudio.AudioObjectGetPropertyData(stream, address, 0, nullptr, &size, &format), 0);
    return format;
}

class PulseCoreAudioTest : public ::testing::Test {
  protected:
    void SetUp() override {
        NORVI_REQUIRE_TEST_SERVER();
        coreAudio = backend(*pulsetest::testServer());
    }

    testing::TemporaryDirectory directory;
    std::shared_ptr<CoreAudio> coreAudio;
};

TEST_F(PulseCoreAudioTest, AudioClientsAreProcessObjectsNamedByApplicationIdElseBinary) {
    DetachedProcess named(pulsetest::playerCommand(pulsetest::writeTone(directory, 311), "speaker",
                                                   "com.example.unit-player"));
    DetachedProcess unnamed(
        pulsetest::playerCommand(pulsetest::writeTone(directory, 313), "speaker"));
    const AudioObjectID namedObject = processObject(*coreAudio, named.pid());
    const AudioObjectID unnamedObject = processObject(*coreAudio, unnamed.pid());
    // Listed once their clients have connected.
    ASSERT_TRUE(eventually([&] {
        const auto processes =
            list(*coreAudio, kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
        return std::count(processes.begin(), processes.end(), namedObject) == 1 &&
               std::count(processes.begin(), processes.end(), unnamedObject) == 1;
    }));
    EXPECT_EQ(audioObjectCFString(*coreAudio, namedObject, kAudioProcessPropertyBundleID,
                                  kAudioObjectPropertyScopeGlobal),
              "com.example.unit-player");
    EXPECT_EQ(audioObjectCFString(*coreAudio, unnamedObject, kAudioProcessPropertyBundleID,
                                  kAudioObjectPropertyScopeGlobal),
              "pacat");  // paplay is pacat under another name
    EXPECT_EQ(runningInput(*coreAudio, namedObject), 0u);
    // A live process without audio has an object (so that it can be excluded with its
    // children) but is not listed and has no bundle ID; a process that does not exist has none.
    DetachedProcess silent({"sleep", "30"});
    const AudioObjectID silentObject = processObject(*coreAudio, silent.pid());
    EXPECT_NE(silentObject, 0u);
    EXPECT_THAT(list(*coreAudio, kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList),
                ::testing::Not(::testing::Contains(silentObject)));
    EXPECT_EQ(audioObjectCFString(*coreAudio, silentObject, kAudioProcessPropertyBundleID,
                                  kAudioObjectPropertyScopeGlobal),
              "");
    EXPECT_EQ(processObject(*coreAudio, 999999), 0u);
    named.stop();
    EXPECT_TRUE(eventually([&] { return processObject(*coreAudio, named.pid()) == 0; }));
}

TEST_F(PulseCoreAudioTest, RunningInputMeansRecordingFromASourceThatIsNoMonitor) {
    DetachedProcess microphone(pulsetest::recorderCommand("testmic", "com.example.unit-recorder"));
    DetachedProcess monitor(
        pulsetest::recorderCommand("speaker.monitor", "com.example.unit-monitor"));
    ASSERT_TRUE(eventually([&] {
        const AudioObjectID object = processObject(*coreAudio, microphone.pid());
        return object != 0 && runningInput(*coreAudio, object) == 1;
    }));
    ASSERT_TRUE(eventually([&] { return processObject(*coreAudio, monitor.pid()) != 0; }));
    EXPECT_EQ(runningInput(*coreAudio, processObject(*coreAudio, monitor.pid())), 0u);
}

TEST_F(PulseCoreAudioTest, InputDevicesAreTheSourcesThatAreNoMonitors) {
    const std::vector<AudioObjectID> devices =
        list(*coreAudio, kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    ASSERT_EQ(devices.size(), 1u);
    const AudioObjectID device = devices.front();
    EXPECT_EQ(audioObjectCFString(*coreAudio, device, kAudioObjectPropertyName,
                                  kAudioObjectPropertyScopeGlobal),
              "Test_Microphone");
    EXPECT_EQ(audioObjectCFString(*coreAudio, device, kAudioDevicePropertyDeviceUID,
                                  kAudioObjectPropertyScopeGlobal),
              "testmic");
    EXPECT_EQ(audioObjectValue<AudioObjectID>(*coreAudio, kAudioObjectSystemObject,
                                              kAudioHardwarePropertyDefaultInputDevice,
                                              kAudioObjectPropertyScopeGlobal, 0),
              device);
    EXPECT_TRUE(
        list(*coreAudio, device, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeGlobal)
            .empty());
    const std::vector<AudioObjectID> streams =
        list(*coreAudio, device, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput);
    ASSERT_EQ(streams.size(), 1u);
    const AudioStreamBasicDescription format = streamFormat(*coreAudio, streams.front());
    // The source's sample format: 16-bit signed stereo at 48 kHz.
    EXPECT_EQ(format.mSampleRate, 48000);
    EXPECT_EQ(format.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(format.mFormatFlags, kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    EXPECT_EQ(format.mBitsPerChannel, 16u);
    EXPECT_EQ(format.mBytesPerFrame, 4u);
}

// Collects the IO cycles of one started callback.
struct Cycles {
    std::mutex mutex;
    std::vector<std::vector<float>> buffers;  // per input stream, every cycle appended
    std::vector<std::uint32_t> bufferCounts;
    std::vector<std::uint32_t> byteSizes;
    std::atomic<int> calls{0};

    static OSStatus proc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input,
                         const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*,
                         void* self) {
        auto& cycles = *static_cast<Cycles*>(self);
        std::lock_guard lock(cycles.mutex);
        const auto buffers = audioBuffers(*input);
        cycles.bufferCounts.push_back(static_cast<std::uint32_t>(buffers.size()));
        cycles.buffers.resize(std::max(cycles.buffers.size(), buffers.size()));
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            cycles.byteSizes.push_back(buffers[i].mDataByteSize);
            const auto* samples = static_cast<const float*>(buffers[i].mData);
            const std::uint32_t channels = std::max<std::uint32_t>(buffers[i].mNumberChannels, 1);
            // The first channel is enough to find a tone.
            for (std::size_t s = 0; s < buffers[i].mDataByteSize / 4; s += channels)
                cycles.buffers[i].push_back(samples[s]);
        }
        ++cycles.calls;
        return 0;
    }
};

TEST_F(PulseCoreAudioTest, TapAndMicrophoneAggregateDeliversTenMillisecondCyclesOfBoth) {
    DetachedProcess speakerPlayer(
        pulsetest::playerCommand(pulsetest::writeTone(directory, 523), "speaker"));
    DetachedProcess microphonePlayer(
        pulsetest::playerCommand(pulsetest::writeTone(directory, 659), "micfeed"));
    ASSERT_TRUE(eventually([&] {
        return processObject(*coreAudio, speakerPlayer.pid()) != 0 &&
               processObject(*coreAudio, microphonePlayer.pid()) != 0;
    }));
    // What feeds the test microphone is itself a playback stream: the tap leaves it out.
    CATapDescription description = CATapDescription::stereoGlobalTapButExcludeProcesses(
        {processObject(*coreAudio, microphonePlayer.pid())});
    AudioObjectID tap = 0;
    ASSERT_EQ(coreAudio->AudioHardwareCreateProcessTap(description, &tap), 0);
    const AudioStreamBasicDescription tapFormat = [&] {
        const AudioObjectPropertyAddress address{kAudioTapPropertyFormat,
                                                 kAudioObjectPropertyScopeGlobal, 0};
        AudioStreamBasicDescription format{};
        std::uint32_t size = sizeof format;
        EXPECT_EQ(coreAudio->AudioObjectGetPropertyData(tap, address, 0, nullptr, &size, &format),
                  0);
        return format;
    }();
    EXPECT_EQ(tapFormat.mSampleRate, 48000);
    EXPECT_EQ(tapFormat.mFormatFlags, 9u);
    EXPECT_EQ(tapFormat.mChannelsPerFrame, 2u);
    EXPECT_EQ(tapFormat.mBytesPerFrame, 8u);
    const CFDictionary aggregateDescription = {
        {"private", true},
        {"name", "Norvi Process Tap Aggregate"},
        {"tapautostart", false},
        {"taps", {{{"drift", true}, {"uid", description.uuid}}}},
        {"uid", "com.norvi.audio-helper.tap.TEST"},
        {"master", "testmic"},
        {"subdevices", {{{"uid", "testmic"}}}},
    };
    AudioObjectID aggregate = 0;
    ASSERT_EQ(coreAudio->AudioHardwareCreateAggregateDevice(aggregateDescription, &aggregate), 0);
    EXPECT_EQ(audioObjectValue<double>(*coreAudio, aggregate, kAudioDevicePropertyNominalSampleRate,
                                       kAudioObjectPropertyScopeGlobal, 0),
              48000);
    const std::vector<AudioObjectID> streams =
        list(*coreAudio, aggregate, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streamFormat(*coreAudio, streams[0]).mChannelsPerFrame,
              2u);  // the microphone's channels
    EXPECT_EQ(streamFormat(*coreAudio, streams[1]).mBytesPerFrame, 8u);  // the tap
    Cycles cycles;
    AudioDeviceIOProcID ioProc{};
    ASSERT_EQ(coreAudio->AudioDeviceCreateIOProcID(aggregate, &Cycles::proc, &cycles, &ioProc), 0);
    ASSERT_EQ(coreAudio->AudioDeviceStart(aggregate, ioProc), 0);
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(coreAudio->AudioDeviceStop(aggregate, ioProc), 0);
    const int calls = cycles.calls.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(cycles.calls.load(), calls);  // nothing after the stop
    // About 150 cycles in 1.5 s, generously bounded for a loaded machine.
    EXPECT_GT(calls, 100);
    EXPECT_LT(calls, 200);
    EXPECT_THAT(cycles.bufferCounts, ::testing::Each(2u));
    EXPECT_THAT(cycles.byteSizes, ::testing::Each(480u * 8));
    const std::vector<float> microphone(cycles.buffers[0].begin() + 24000, cycles.buffers[0].end());
    const std::vector<float> tapSamples(cycles.buffers[1].begin() + 24000, cycles.buffers[1].end());
    EXPECT_GT(pulsetest::toneLevel(tapSamples, 48000, 523), pulsetest::heardLevel);
    EXPECT_LT(pulsetest::toneLevel(tapSamples, 48000, 659), 0.02);
    EXPECT_GT(pulsetest::toneLevel(microphone, 48000, 659), pulsetest::heardLevel);
    EXPECT_LT(pulsetest::toneLevel(microphone, 48000, 523), 0.02);
    // Stopped: none of this process's record streams is left on the server.
    EXPECT_TRUE(eventually([] {
        const auto pids = pulsetest::streamProcesses();
        return std::find(pids.begin(), pids.end(), ::getpid()) == pids.end();
    }));
    EXPECT_EQ(coreAudio->AudioDeviceDestroyIOProcID(aggregate, ioProc), 0);
    EXPECT_EQ(coreAudio->AudioHardwareDestroyAggregateDevice(aggregate), 0);
    EXPECT_EQ(coreAudio->AudioHardwareDestroyProcessTap(tap), 0);
    EXPECT_EQ(coreAudio->AudioHardwareDestroyProcessTap(tap), kAudioHardwareBadObjectError);
}

TEST_F(PulseCoreAudioTest, TapLeavesOutExcludedProcessesWithTheirDescendantsAndFollowsNewStreams) {
    DetachedProcess excludedShell(
        pulsetest::playerCommand(pulsetest::writeTone(directory, 733), "speaker", "", true));
    ASSERT_TRUE(eventually([] { return !pulsetest::playbackProcesses().empty(); }));
    const CATapDescription description = CATapDescription::stereoGlobalTapButExcludeProcesses(
        {processObject(*coreAudio, excludedShell.pid())});
    AudioObjectID tap = 0;
    ASSERT_EQ(coreAudio->AudioHardwareCreateProcessTap(description, &tap), 0);
    AudioObjectID aggregate = 0;
    ASSERT_EQ(coreAudio->AudioHardwareCreateAggregateDevice(
                  {{"taps", {{{"uid", description.uuid}}}}}, &aggregate),
              0);
    Cycles cycles;
    AudioDeviceIOProcID ioProc{};
    ASSERT_EQ(coreAudio->AudioDeviceCreateIOProcID(aggregate, &Cycles::proc, &cycles, &ioProc), 0);
    ASSERT_EQ(coreAudio->AudioDeviceStart(aggregate, ioProc), 0);
    // Started after the device: captured all the same.
    DetachedProcess late(pulsetest::playerCommand(pulsetest::writeTone(directory, 831), "speaker"));
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(coreAudio->AudioDeviceStop(aggregate, ioProc), 0);
    EXPECT_THAT(cycles.bufferCounts, ::testing::Each(1u));
    ASSERT_EQ(cycles.buffers.size(), 1u);
    const std::vector<float> samples(cycles.buffers[0].end() - 24000, cycles.buffers[0].end());
    EXPECT_LT(pulsetest::toneLevel(samples, 48000, 733), 0.02);
    EXPECT_GT(pulsetest::toneLevel(samples, 48000, 831), pulsetest::heardLevel);
    EXPECT_EQ(coreAudio->AudioHardwareDestroyAggregateDevice(aggregate), 0);
    EXPECT_EQ(coreAudio->AudioHardwareDestroyProcessTap(tap), 0);
}

TEST_F(PulseCoreAudioTest, FailuresComeBackAsStatuses) {
    AudioObjectID object = 0;
    EXPECT_EQ(coreAudio->AudioHardwareCreateAggregateDevice(
                  {{"subdevices", {{{"uid", "no-such-source"}}}}}, &object),
              kAudioHardwareBadDeviceError);
    // A monitor is no input device.
    EXPECT_EQ(coreAudio->AudioHardwareCreateAggregateDevice(
                  {{"subdevices", {{{"uid", "speaker.monitor"}}}}}, &object),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(coreAudio->AudioHardwareCreateAggregateDevice({{"taps", {{{"uid", "no-such-tap"}}}}},
                                                            &object),
              kAudioHardwareBadObjectError);
    CATapDescription muted = CATapDescription::stereoGlobalTapButExcludeProcesses({});
    muted.muteBehavior = CATapMuteBehavior::muted;
    EXPECT_EQ(coreAudio->AudioHardwareCreateProcessTap(muted, &object),
              kAudioHardwareIllegalOperationError);
    std::uint32_t size = 0;
    EXPECT_EQ(coreAudio->AudioObjectGetPropertyDataSize(
                  424242, {kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 0}, 0,
                  nullptr, &size),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(coreAudio->AudioObjectGetPropertyDataSize(
                  kAudioObjectSystemObject,
                  {fourCharCode("zzzz"), kAudioObjectPropertyScopeGlobal, 0}, 0, nullptr, &size),
              kAudioHardwareUnknownPropertyError);
    AudioDeviceIOProcID ioProc{};
    EXPECT_EQ(coreAudio->AudioDeviceCreateIOProcID(424242, &Cycles::proc, nullptr, &ioProc),
              kAudioHardwareBadDeviceError);
}

TEST(PulseCoreAudioWithoutServer, EveryCallThatNeedsTheServerFailsWithNotRunning) {
    const char* saved = std::getenv("PULSE_SERVER");
    const std::string restore = saved ? saved : "";
    std::shared_ptr<CoreAudio> coreAudio = backend("unix:/nonexistent/norvi-test-socket");
    std::uint32_t size = 0;
    EXPECT_EQ(coreAudio->AudioObjectGetPropertyDataSize(
                  kAudioObjectSystemObject,
                  {kAudioHardwarePropertyProcessObjectList, kAudioObjectPropertyScopeGlobal, 0}, 0,
                  nullptr, &size),
              kAudioHardwareNotRunningError);
    AudioObjectID tap = 0;
    EXPECT_EQ(coreAudio->AudioHardwareCreateProcessTap(
                  CATapDescription::stereoGlobalTapButExcludeProcesses({}), &tap),
              kAudioHardwareNotRunningError);
    EXPECT_THROW(
        {
            try {
                audioObjectIDArray(*coreAudio, kAudioObjectSystemObject,
                                   kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal);
            } catch (const HelperError& error) {
                EXPECT_EQ(error.description(),
                          "AudioObjectGetPropertyDataSize(dev#) failed with OSStatus 1937010544 "
                          "('stop').");
                throw;
            }
        },
        HelperError);
    if (saved)
        ::setenv("PULSE_SERVER", restore.c_str(), 1);
}

}  // namespace
}  // namespace norvi::helper
