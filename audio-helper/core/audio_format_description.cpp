#include "audio-helper/core/audio_format_description.h"

#include "support/number_text.h"

namespace norvi::helper {

std::string fourCC(std::uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto byte = static_cast<unsigned char>((code >> shift) & 0xFF);
        if (byte < 0x20 || byte > 0x7E) {
            return std::to_string(code);
        }
        text += static_cast<char>(byte);
    }
    return text;
}

std::string describeAudioFormat(const AudioStreamBasicDescription& format) {
    return "formatID=" + fourCC(format.mFormatID) +
           " sampleRate=" + doubleDescription(format.mSampleRate) +
           " channels=" + std::to_string(format.mChannelsPerFrame) +
           " bits=" + std::to_string(format.mBitsPerChannel) +
           " bytesPerFrame=" + std::to_string(format.mBytesPerFrame) +
           " bytesPerPacket=" + std::to_string(format.mBytesPerPacket) +
           " framesPerPacket=" + std::to_string(format.mFramesPerPacket) +
           " formatFlags=" + std::to_string(format.mFormatFlags);
}

}  // namespace norvi::helper
