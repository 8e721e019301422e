#include "audio-helper/tap/platform/uuid_text.h"

#include <cstdint>
#include <mutex>
#include <random>

namespace norvi::helper {

std::string makeUUIDText() {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    std::uint64_t high;
    std::uint64_t low;
    {
        std::lock_guard lock(mutex);
        high = generator();
        low = generator();
    }
    high = (high & ~0xF000ull) | 0x4000ull;                // version 4
    low = (low & ~(0xC000ull << 48)) | (0x8000ull << 48);  // RFC 4122 variant
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (int nibble = 0; nibble < 32; ++nibble) {
        if (nibble == 8 || nibble == 12 || nibble == 16 || nibble == 20)
            text += '-';
        const std::uint64_t word = nibble < 16 ? high : low;
        text += hex[(word >> (60 - 4 * (nibble % 16))) & 15];
    }
    return text;
}

}  // namespace norvi::helper
