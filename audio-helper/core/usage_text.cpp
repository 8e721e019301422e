#include "audio-helper/core/usage_text.h"

namespace norvi::helper {

const std::string_view usageText =
    "Usage:\n"
    "  norvi-audio-helper tap-access\n"
    "  norvi-audio-helper screen-access\n"
    "  norvi-audio-helper sck-stream [--duration seconds] [--use-picker | --display-id id | "
    "--window-id id] [--exclude-pid pid] [--exclude-bundle-id id] [--start-timeout seconds]\n"
    "  norvi-audio-helper tap-stream [--duration seconds] [--exclude-pid pid] [--exclude-bundle-id "
    "id] [--mute unmuted|muted|muted-when-tapped] [--microphone name|default] [--start-timeout "
    "seconds]\n"
    "  norvi-audio-helper mic-watch\n"
    "\n"
    "Notes:\n"
    "  tap-access attempts to start a Core Audio tap aggregate to trigger macOS System Audio "
    "Recording permission.\n"
    "  screen-access preflights and requests macOS Screen & System Audio Recording permission.\n"
    "  sck-stream uses ScreenCaptureKit audio capture from the selected display and emits 16 kHz "
    "mono PCM chunks as JSON lines.\n"
    "  sck-stream can present Apple's native ScreenCaptureKit picker with --use-picker, restricted "
    "to displays.\n"
    "  tap-stream uses a global Core Audio process tap and emits 16 kHz mono PCM chunks as JSON "
    "lines.\n"
    "  tap-stream can repeat --exclude-pid and --exclude-bundle-id.\n"
    "  tap-stream --microphone adds that input device (matched by name, else the default input) "
    "and\n"
    "  mixes it with the system audio.\n"
    "  mic-watch prints the bundle IDs of apps recording from a microphone as a JSON line each time "
    "they change.\n"
    "  The default tap mute mode is unmuted so the probe does not silence user audio by surprise.";

}  // namespace norvi::helper
