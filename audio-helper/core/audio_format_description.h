#pragma once

#include <cstdint>
#include <string>

#include "audio-helper/core/platform/core_audio_types.h"

namespace norvi::helper {

// The four bytes of a code as ASCII when all are printable, else the code in decimal.
std::string fourCC(std::uint32_t code);

// "formatID=lpcm sampleRate=48000.0 channels=2 bits=32 bytesPerFrame=8 bytesPerPacket=8
// framesPerPacket=1 formatFlags=9", on one line.
std::string describeAudioFormat(const AudioStreamBasicDescription& format);

}  // namespace norvi::helper
