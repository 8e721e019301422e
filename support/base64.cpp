#include "support/base64.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace norvi {

void appendBase64(std::string& out, const void* data, std::size_t size) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const std::size_t start = out.size();
    out.resize(start + (size + 2) / 3 * 4);
    char* cursor = out.data() + start;
    std::size_t i = 0;
    // Two output characters per table lookup: every 12-bit value maps to its pair.
    static const auto pairs = [] {
        std::array<char, 2 * 4096> table{};
        for (std::size_t v = 0; v < 4096; ++v) {
            table[2 * v] = alphabet[v >> 6];
            table[2 * v + 1] = alphabet[v & 63];
        }
        return table;
    }();
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        std::memcpy(cursor, &pairs[2 * (group >> 12)], 2);
        std::memcpy(cursor + 2, &pairs[2 * (group & 4095)], 2);
        cursor += 4;
    }
    if (i < size) {
        const bool two = i + 1 < size;
        const std::uint32_t group = (bytes[i] << 16) | (two ? bytes[i + 1] << 8 : 0);
        *cursor++ = alphabet[(group >> 18) & 63];
        *cursor++ = alphabet[(group >> 12) & 63];
        *cursor++ = two ? alphabet[(group >> 6) & 63] : '=';
        *cursor++ = '=';
    }
}

}  // namespace norvi
