#include "audio-helper/tap/microphone_selection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "audio-helper/core/helper_error.h"
#include "audio-helper/tap/platform/core_audio_simulated.h"

namespace norvi::helper {
namespace {

using ::testing::ElementsAre;
using ::testing::FloatEq;
using ::testing::Pointwise;

nlohmann::json device(const std::string& name, const std::string& uid, bool hasInput = true) {
    nlohmann::json entry = {{"name", name}, {"uid", uid}};
    if (!hasInput)
        entry["inputStreams"] = nlohmann::json::array();
    return entry;
}

std::string resolvedUID(const nlohmann::json& section, const std::string& label) {
    SimulatedCoreAudio coreAudio(SimulatedCoreAudioConfig::fromSection(section), nullptr);
    try {
        return resolveInputDevice(coreAudio, label).uid;
    } catch (const HelperError& error) {
        return error.description();
    }
}

TEST(ResolveInputDevice, MatchesNamesAsTheLabelsSayOrFallsBackToTheDefault) {
    const nlohmann::json machine = {
        {"devices",
         {device("Default", "default-named"), device("USB Mic", "usb"),
          device("USB Mic (Rear)", "usb-rear"), device("Speakers", "speakers", false),
          device("", "unnamed"), device("Café Mic", "cafe"),
          device("Cafe\xCC\x81 Mics", "cafe-combining")}},
        {"defaultInputDevice", 1},
    };
    struct Case {
        std::string label;
        std::string uid;
    };
    const Case cases[] = {
        {"default", "usb"},            // the literal word, even with a device of that name
        {"Default", "default-named"},  // any other spelling is a name
        {"USB Mic", "usb"},
        {"USB Mic (Rear)", "usb-rear"},  // both match; the longer name wins
        {"USB Mic (Front)", "usb"},      // name, " (" and anything
        {"USB", "usb"},                  // a mere prefix does not match: the default
        {"usb mic", "usb"},              // case matters: the default
        {"Speakers", "usb"},             // no input streams: never chosen
        {"", "usb"},                     // matches nothing
        {"Café Mic (Built-in)", "cafe"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(resolvedUID(machine, c.label), c.uid) << "label \"" << c.label << "\"";
    }
}

TEST(ResolveInputDevice, LongestNameCountsUserPerceivedCharacters) {
    // "Cafe" + a combining accent is five characters of bytes but four user-perceived ones.
    EXPECT_EQ(userPerceivedLength("Cafe\xCC\x81"), 4u);
    EXPECT_EQ(userPerceivedLength("Caf\xC3\xA9"), 4u);
    EXPECT_EQ(userPerceivedLength("\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"), 1u);  // one flag
    // Both names match the label; the first met stays on equal length.
    const nlohmann::json machine = {
        {"devices", {device("Mic \xC3\xA9", "precomposed"), device("Mic e\xCC\x81", "combining")}},
    };
    EXPECT_EQ(resolvedUID(machine, "Mic \xC3\xA9 (x)"), "precomposed");
}

TEST(ResolveInputDevice, DefaultPathFailures) {
    EXPECT_EQ(resolvedUID({{"devices", nlohmann::json::array()}}, "default"),
              "No microphone was found.");
    EXPECT_EQ(resolvedUID({{"devices", {{{"name", "Mic"}, {"uid", nullptr}}}}}, "default"),
              "No microphone was found.");
    EXPECT_EQ(
        resolvedUID({{"statuses", {{"AudioObjectGetPropertyData", {{"dIn ", -50}}}}}}, "default"),
        "AudioObjectGetPropertyData(dIn ) failed with OSStatus -50.");
    EXPECT_EQ(
        resolvedUID({{"statuses", {{"AudioObjectGetPropertyDataSize", {{"dev#", -50}}}}}}, "Mic"),
        "AudioObjectGetPropertyDataSize(dev#) failed with OSStatus -50.");
    // A device whose name cannot be read is skipped; the default device is used as it is.
    EXPECT_EQ(
        resolvedUID(
            {{"devices",
              {{{"name", "Mic"}, {"uid", "m"}, {"statuses", {{"lnam", 1}}}}, device("Other", "o")}},
             {"defaultInputDevice", 1}},
            "Mic"),
        "o");
}

// A buffer list over float storage, one entry per (channels, samples).
struct Buffers {
    std::vector<std::vector<float>> data;
    AudioBufferListStorage storage = AudioBufferListStorage::allocate(0);

    Buffers(std::vector<std::pair<std::uint32_t, std::vector<float>>> buffers)
        : storage(AudioBufferListStorage::allocate(static_cast<std::uint32_t>(buffers.size()))) {
        for (auto& [channels, samples] : buffers)
            data.push_back(std::move(samples));
        auto entries = audioBuffers(*storage.list());
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            entries[i].mNumberChannels = buffers[i].first;
            entries[i].mDataByteSize = static_cast<std::uint32_t>(data[i].size() * sizeof(float));
            entries[i].mData = data[i].empty() ? nullptr : data[i].data();
        }
    }
};

AudioStreamBasicDescription stream(std::uint32_t channels, bool nonInterleaved) {
    AudioStreamBasicDescription format{};
    format.mChannelsPerFrame = channels;
    format.mFormatFlags = nonInterleaved ? 41 : 9;
    return format;
}

TEST(MixInputStreamsToMono, AveragesWithinStreamsAndSumsAcross) {
    struct Case {
        const char* name;
        Buffers buffers;
        std::vector<AudioStreamBasicDescription> formats;
        std::vector<float> expected;
    };
    const std::vector<float> none;
    Case cases[] = {
        {"tap stereo plus mono microphone",
         Buffers({{2, {0.2f, 0.4f, 0.6f, 0.8f}}, {1, {0.1f, 0.1f}}}),
         {stream(2, false), stream(1, false)},
         {0.3f + 0.1f, 0.7f + 0.1f}},
        {"non-interleaved stereo",
         Buffers({{1, {0.2f, 0.4f}}, {1, {0.6f, 0.8f}}}),
         {stream(2, true)},
         {0.4f, 0.6f}},
        {"non-interleaved with one empty buffer",
         Buffers({{1, {0.2f, 0.4f}}, {1, {}}}),
         {stream(2, true)},
         {0.1f, 0.2f}},
        {"formats for three buffers, two in the list",
         Buffers({{1, {0.2f}}, {1, {0.4f}}}),
         {stream(2, true), stream(1, false)},
         {0.2f + 0.4f}},
        {"unequal lengths align at the start",
         Buffers({{1, {0.5f, 0.5f, 0.5f}}, {1, {0.25f}}}),
         {stream(1, false), stream(1, false)},
         {0.75f, 0.5f, 0.5f}},
    };
    for (Case& c : cases) {
        const std::optional<std::vector<float>> mixed =
            mixInputStreamsToMono(*c.buffers.storage.list(), c.formats);
        ASSERT_TRUE(mixed.has_value()) << c.name;
        EXPECT_THAT(*mixed, Pointwise(FloatEq(), c.expected)) << c.name;
    }
}

TEST(MixInputStreamsToMono, NothingToMixGivesNothing) {
    // 6 bytes of two channels hold no whole frame; null and empty buffers are skipped.
    Buffers partial({{2, {0.5f}}, {1, {}}});
    audioBuffers(*partial.storage.list())[0].mDataByteSize = 6;
    EXPECT_FALSE(
        mixInputStreamsToMono(*partial.storage.list(), std::vector<AudioStreamBasicDescription>{}));
    Buffers empty({});
    EXPECT_FALSE(
        mixInputStreamsToMono(*empty.storage.list(), std::vector<AudioStreamBasicDescription>{}));
}

}  // namespace
}  // namespace norvi::helper
