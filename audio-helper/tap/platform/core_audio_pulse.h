#pragma once

#include <memory>

#include "audio-helper/core/platform/pulse_connection.h"
#include "audio-helper/tap/platform/core_audio.h"

namespace norvi::helper {

// Status of every call made while the audio server cannot be reached.
constexpr OSStatus kAudioHardwareNotRunningError = static_cast<OSStatus>(fourCharCode("stop"));

// Core Audio on the PulseAudio protocol: the audio clients are the process objects, the
// sources that are not monitors are the input devices, a process tap is a set of monitor
// streams on the playback streams, and an aggregate device mixes them (with a record stream
// on its sub-device) into IO cycles of 10 ms. docs/linux-audio-backend.md tells the mapping.
std::shared_ptr<CoreAudio> makePulseCoreAudio(std::shared_ptr<pulse::PulseServerLink> link);

}  // namespace norvi::helper
