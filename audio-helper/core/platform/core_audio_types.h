#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>

// Core Audio's public value layouts as the helper reads them: the stream format record and the
// variable-length buffer list.

namespace norvi::helper {

using OSStatus = std::int32_t;
using AudioFormatID = std::uint32_t;
using AudioFormatFlags = std::uint32_t;

constexpr std::uint32_t fourCharCode(const char (&code)[5]) {
    return (std::uint32_t(std::uint8_t(code[0])) << 24) | (std::uint32_t(std::uint8_t(code[1])) << 16) |
           (std::uint32_t(std::uint8_t(code[2])) << 8) | std::uint32_t(std::uint8_t(code[3]));
}

constexpr AudioFormatID kAudioFormatLinearPCM = fourCharCode("lpcm");
constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 1u << 0;
constexpr AudioFormatFlags kAudioFormatFlagIsBigEndian = 1u << 1;
constexpr AudioFormatFlags kAudioFormatFlagIsSignedInteger = 1u << 2;
constexpr AudioFormatFlags kAudioFormatFlagIsPacked = 1u << 3;
constexpr AudioFormatFlags kAudioFormatFlagIsNonInterleaved = 1u << 5;

struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    AudioFormatID mFormatID = 0;
    AudioFormatFlags mFormatFlags = 0;
    std::uint32_t mBytesPerPacket = 0;
    std::uint32_t mFramesPerPacket = 0;
    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mChannelsPerFrame = 0;
    std::uint32_t mBitsPerChannel = 0;
    std::uint32_t mReserved = 0;
};

struct AudioBuffer {
    std::uint32_t mNumberChannels = 0;
    std::uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};

// A count followed by that many AudioBuffer entries; the declared array holds the first.
struct AudioBufferList {
    std::uint32_t mNumberBuffers = 0;
    AudioBuffer mBuffers[1];
};

// Bytes a list with room for `maximumBuffers` entries takes (at least one entry's room).
constexpr std::size_t audioBufferListSizeInBytes(std::uint32_t maximumBuffers) {
    return offsetof(AudioBufferList, mBuffers) +
           sizeof(AudioBuffer) * (maximumBuffers == 0 ? 1 : maximumBuffers);
}

// The entries of a list, reached without indexing past the declared one-element array.
inline std::span<AudioBuffer> audioBuffers(AudioBufferList& list) {
    auto* first = reinterpret_cast<AudioBuffer*>(reinterpret_cast<std::byte*>(&list) +
                                                 offsetof(AudioBufferList, mBuffers));
    return {first, list.mNumberBuffers};
}
inline std::span<const AudioBuffer> audioBuffers(const AudioBufferList& list) {
    const auto* first = reinterpret_cast<const AudioBuffer*>(
        reinterpret_cast<const std::byte*>(&list) + offsetof(AudioBufferList, mBuffers));
    return {first, list.mNumberBuffers};
}

// Zeroed heap storage for a buffer list of a given size in bytes, freed with the object.
class AudioBufferListStorage {
public:
    explicit AudioBufferListStorage(std::size_t sizeInBytes)
        : size_(sizeInBytes < sizeof(AudioBufferList) ? sizeof(AudioBufferList) : sizeInBytes),
          memory_(static_cast<std::byte*>(std::calloc(1, size_))) {
        if (!memory_) throw std::bad_alloc();
    }
    // Room for `maximumBuffers` entries, with the count set to that number.
    static AudioBufferListStorage allocate(std::uint32_t maximumBuffers) {
        AudioBufferListStorage storage(audioBufferListSizeInBytes(maximumBuffers));
        storage.list()->mNumberBuffers = maximumBuffers;
        return storage;
    }

    AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(memory_.get()); }
    const AudioBufferList* list() const { return reinterpret_cast<const AudioBufferList*>(memory_.get()); }
    std::size_t size() const { return size_; }

private:
    struct Free {
        void operator()(std::byte* memory) const { std::free(memory); }
    };
    std::size_t size_;
    std::unique_ptr<std::byte, Free> memory_;
};

}  // namespace norvi::helper
