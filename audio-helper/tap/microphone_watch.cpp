#include "audio-helper/tap/microphone_watch.h"

#include <chrono>
#include <set>
#include <unistd.h>

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "audio-helper/core/commands.h"
#include "audio-helper/core/helper_error.h"
#include "audio-helper/core/output_records.h"
#include "audio-helper/tap/audio_object_properties.h"

namespace norvi::helper {
namespace {

bool isRecording(CoreAudio& coreAudio, AudioObjectID process) {
    const AudioObjectPropertyAddress address{kAudioProcessPropertyIsRunningInput, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    std::uint32_t running = 0;
    std::uint32_t size = sizeof running;
    return coreAudio.AudioObjectGetPropertyData(process, address, 0, nullptr, &size, &running) == 0 && running != 0;
}

void writeLine(const std::vector<std::string>& bundleIds) {
    writeStdoutLine(encodeCompact(MicrophoneAppsEvent{.bundleIds = bundleIds}));
}

}  // namespace

std::vector<std::string> microphoneAppBundleIDs(CoreAudio& coreAudio) {
    std::vector<AudioObjectID> processes;
    try {
        processes = audioObjectIDArray(coreAudio, kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList,
                                       kAudioObjectPropertyScopeGlobal);
    } catch (const HelperError&) {
        // An unreadable list reads as nobody recording.
    }
    // std::string orders by unsigned bytes, which for UTF-8 is code-point order.
    std::set<std::string> recording;
    for (const AudioObjectID process : processes) {
        if (!isRecording(coreAudio, process)) continue;
        try {
            std::string bundleID =
                audioObjectCFString(coreAudio, process, kAudioProcessPropertyBundleID, kAudioObjectPropertyScopeGlobal);
            if (!bundleID.empty()) recording.insert(std::move(bundleID));
        } catch (const HelperError&) {
            // A process whose bundle ID cannot be read is left out.
        }
    }
    return {recording.begin(), recording.end()};
}

asio::awaitable<void> runMicrophoneWatch(HelperContext& context) {
    CoreAudio& coreAudio = *context.platform.coreAudio;
    // The host is gone once the helper has a new parent: init, or whichever subreaper adopted
    // it (on Linux that is often not process 1).
    const pid_t host = ::getppid();
    const auto hostGone = [host] {
        const pid_t parent = ::getppid();
        return parent == 1 || parent != host;
    };
    if (host == 1) {
        co_return;
    }
    std::vector<std::string> reported = microphoneAppBundleIDs(coreAudio);
    writeLine(reported);
    asio::steady_timer timer(co_await asio::this_coro::executor);
    for (;;) {
        timer.expires_after(std::chrono::seconds(1));
        co_await timer.async_wait(asio::use_awaitable);
        if (hostGone()) {
            co_return;
        }
        std::vector<std::string> current = microphoneAppBundleIDs(coreAudio);
        if (current != reported) {
            writeLine(current);
            reported = std::move(current);
        }
    }
}

}  // namespace norvi::helper
