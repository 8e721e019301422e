#include "audio-helper/core/commands.h"
#include "audio-helper/core/helper_error.h"
#include "audio-helper/core/output_records.h"
#include "audio-helper/core/pcm_json_line_writer.h"
#include "audio-helper/core/stream_duration.h"
#include "audio-helper/core/stream_end.h"
#include "audio-helper/tap/process_tap_probe.h"

namespace norvi::helper {
namespace {

void requireProcessTaps(const HelperContext& context) {
    if (!context.platform.operatingSystem->isOperatingSystemAtLeast({14, 2, 0})) {
        throw HelperError("Core Audio process taps require macOS 14.2 or newer.");
    }
}

}  // namespace

asio::awaitable<void> runTapStream(HelperContext& context, const CommandOptions& options) {
    requireProcessTaps(context);
    auto writer = std::make_shared<PcmJsonLineWriter>("tap-stream");
    ProcessTapProbe probe(context.platform.coreAudio, writer);
    try {
        probe.start(options);
    } catch (const std::exception& error) {
        probe.stop();
        writer->writeDiagnostic("stream_start_failed",
                                PcmJsonLineWriter::Details{{"message", error.what()}});
        writer->flush();
        throw;
    }
    co_await waitForEndOfStream(*writer, streamTimeLimit(options.durationSeconds));
    probe.stop();
    writer->writeEnded();
    writer->flush();
    requireWrittenOutput(*writer);
}

void runTapAccessRequest(HelperContext& context) {
    requireProcessTaps(context);
    ProcessTapProbe probe(context.platform.coreAudio, nullptr);
    const CommandOptions defaults;
    try {
        probe.start(defaults);
        probe.stop();
        printJSON(TapAccessResult{.granted = true, .message = std::nullopt, .requested = true});
    } catch (const std::exception& error) {
        probe.stop();
        printJSON(TapAccessResult{
            .granted = false, .message = std::string(error.what()), .requested = true});
    }
}

}  // namespace norvi::helper
