#include "audio-helper/screencapturekit/screencapturekit_audio_probe.h"

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "audio-helper/core/helper_error.h"
#include "audio-helper/screencapturekit/screencapturekit_picker_bridge.h"

namespace norvi::helper {
namespace {

TEST(ScreenCaptureKitProbe, ChoosesTheMainDisplayElseTheFirst) {
    const struct {
        std::vector<std::uint32_t> displays;
        std::uint32_t main;
        std::optional<std::uint32_t> chosen;
    } cases[] = {
        {{3, 7, 1}, 1, 1}, {{3, 7}, 1, 3}, {{}, 1, std::nullopt}, {{5}, 5, 5},
    };
    for (const auto& c : cases) {
        std::vector<SCDisplay> displays;
        for (std::uint32_t id : c.displays) displays.push_back({id});
        const auto chosen = ScreenCaptureKitAudioProbe::chooseCaptureDisplay(displays, c.main);
        EXPECT_EQ(chosen ? std::optional(chosen->displayID) : std::nullopt, c.chosen);
    }
}

TEST(ScreenCaptureKitProbe, ExcludesItselfItsParentAndTheNamedApplications) {
    CommandOptions options;
    options.excludedPids = {40, 99999};
    options.excludedBundleIDs = {"com.example.chat", "com.example.absent"};
    const std::vector<SCRunningApplication> running = {
        {10, "com.norvi.host"}, {11, "com.norvi.audio-helper"}, {40, "com.example.music"},
        {41, "com.example.chat"}, {42, "com.example.Chat"}, {43, "com.example.video"},
    };
    std::vector<std::int32_t> excluded;
    for (const auto& application : ScreenCaptureKitAudioProbe::excludedApplications(running, options, 11, 10)) {
        excluded.push_back(application.processID);
    }
    EXPECT_EQ(excluded, (std::vector<std::int32_t>{10, 11, 40, 41}));
}

// A picker that only records what was asked of it; the test plays the user.
class RecordingPicker final : public SCContentSharingPicker {
public:
    void setConfiguration(const std::optional<SCContentSharingPickerConfiguration>& configuration, SCStream&) override {
        calls.push_back(configuration ? "setConfiguration" : "clearConfiguration");
        if (configuration) lastConfiguration = configuration;
    }
    void setMaximumStreamCount(std::optional<std::int64_t> count) override {
        calls.push_back(count ? "maximum " + std::to_string(*count) : "maximum none");
    }
    void addObserver(std::shared_ptr<SCContentSharingPickerObserver> added) override {
        calls.push_back("addObserver");
        observer = std::move(added);
    }
    void removeObserver(const SCContentSharingPickerObserver*) override { calls.push_back("removeObserver"); }
    void presentPickerForStream(SCStream&, std::int64_t style) override {
        calls.push_back("present " + std::to_string(style));
    }

    std::vector<std::string> calls;
    std::optional<SCContentSharingPickerConfiguration> lastConfiguration;
    std::shared_ptr<SCContentSharingPickerObserver> observer;
};

class PickerOnlyPlatform final : public ScreenCaptureKit {
public:
    void getShareableContent(bool, bool, std::function<void(std::optional<SCShareableContent>, std::exception_ptr)>) override {}
    std::shared_ptr<SCStream> makeStream(const SCContentFilter&, const SCStreamConfiguration&,
                                         std::weak_ptr<SCStreamDelegate>) override {
        return nullptr;
    }
    SCContentSharingPicker& sharedPicker() override { return picker; }
    RecordingPicker picker;
};

class IdleStream final : public SCStream {
public:
    void addStreamOutput(std::weak_ptr<SCStreamOutput>, SCStreamOutputType, std::shared_ptr<SerialQueue>) override {}
    void startCapture(SCCompletion) override {}
    void stopCapture(SCCompletion) override {}
    void updateContentFilter(const SCContentFilter&, SCCompletion) override {}
};

// Runs the pick on a strand of a pool while this thread serves the main loop, as the helper does.
struct PickerRun {
    PickerOnlyPlatform platform;
    asio::io_context mainLoop;
    // Keeps run_for serving for its whole slice while nothing is queued yet.
    asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(mainLoop);
    asio::thread_pool pool{1};
    std::shared_ptr<ScreenCaptureKitPickerBridge> bridge =
        std::make_shared<ScreenCaptureKitPickerBridge>(platform, mainLoop.get_executor());
    std::optional<SCContentFilter> chosen;
    std::string failure;
    bool finished = false;

    // Kept here: the pick reads the options after start returns.
    CommandOptions options;

    void start(std::shared_ptr<SCStream> stream) {
        asio::co_spawn(asio::make_strand(pool), bridge->pickFilter(options, std::move(stream)),
                       [this](std::exception_ptr error, SCContentFilter filter) {
                           if (error) {
                               try {
                                   std::rethrow_exception(error);
                               } catch (const std::exception& e) {
                                   failure = e.what();
                               }
                           } else {
                               chosen = filter;
                           }
                           asio::post(mainLoop, [this] { finished = true; });
                       });
    }
    void serveUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 500 && !done(); ++i) mainLoop.run_for(std::chrono::milliseconds(10));
    }
};

TEST(ScreenCaptureKitPickerBridge, ASecondCallbackResumesNothingAndRepeatsTheCleanUp) {
    PickerRun run;
    run.options.excludedBundleIDs = {"com.example.chat"};
    auto stream = std::make_shared<IdleStream>();
    run.start(stream);
    run.serveUntil([&] { return run.platform.picker.observer != nullptr; });
    ASSERT_TRUE(run.platform.picker.lastConfiguration);
    EXPECT_EQ(run.platform.picker.lastConfiguration->allowedPickerModes, 16u);
    EXPECT_EQ(run.platform.picker.lastConfiguration->excludedBundleIDs, run.options.excludedBundleIDs);
    EXPECT_FALSE(run.platform.picker.lastConfiguration->allowsChangingSelectedContent);

    SCContentFilter picked = SCContentFilter::initWithDisplay({7}, {}, {});
    auto observer = run.platform.picker.observer;
    std::thread user([&] {
        observer->contentSharingPickerDidUpdateWith(picked, nullptr);
        observer->contentSharingPickerDidCancelFor(nullptr);
    });
    user.join();
    run.serveUntil([&] { return run.finished && run.platform.picker.calls.size() >= 9; });
    ASSERT_TRUE(run.chosen);
    EXPECT_EQ(run.chosen->display.displayID, 7u);
    EXPECT_EQ(run.failure, "");
    EXPECT_THAT(run.platform.picker.calls,
                ::testing::ElementsAre("maximum 1", "addObserver", "setConfiguration", "present 2",
                                       "removeObserver", "clearConfiguration", "maximum none",
                                       // The second callback: the stream reference is gone already.
                                       "removeObserver", "maximum none"));
}

TEST(ScreenCaptureKitPickerBridge, AVanishedStreamStillGetsTheObserverRemoved) {
    PickerRun run;
    auto stream = std::make_shared<IdleStream>();
    run.start(stream);
    run.serveUntil([&] { return run.platform.picker.observer != nullptr; });
    stream.reset();  // the bridge holds the stream weakly
    run.platform.picker.observer->contentSharingPickerDidCancelFor(nullptr);
    run.serveUntil([&] { return run.finished && run.platform.picker.calls.size() >= 6; });
    EXPECT_EQ(run.failure, "ScreenCaptureKit selection was cancelled.");
    EXPECT_THAT(run.platform.picker.calls, ::testing::ElementsAre("maximum 1", "addObserver", "setConfiguration",
                                                                  "present 2", "removeObserver", "maximum none"));
}

}  // namespace
}  // namespace norvi::helper
