#include "support/utf8.h"

#include <cstdint>

namespace norvi {
namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

// Length of the sequence a lead byte announces and the range its first continuation byte must
// fall in (the later ones are always 80..BF); length 0 for a byte that cannot start one.
struct LeadByte {
    int length;
    std::uint8_t low;
    std::uint8_t high;
};

LeadByte classify(std::uint8_t lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

}  // namespace

void appendValidUtf8(std::string& out, std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const auto lead = static_cast<std::uint8_t>(bytes[i]);
        if (lead < 0x80) {
            std::size_t end = i + 1;
            while (end < n && static_cast<std::uint8_t>(bytes[end]) < 0x80) {
                ++end;
            }
            out.append(bytes.substr(i, end - i));
            i = end;
            continue;
        }
        const LeadByte shape = classify(lead);
        if (shape.length == 0) {
            out.append(replacementCharacter);
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        for (int k = 1; k < shape.length && j < n; ++k, ++j) {
            const auto next = static_cast<std::uint8_t>(bytes[j]);
            const std::uint8_t low = k == 1 ? shape.low : 0x80;
            const std::uint8_t high = k == 1 ? shape.high : 0xBF;
            if (next < low || next > high) {
                break;
            }
        }
        if (j - i == static_cast<std::size_t>(shape.length)) {
            out.append(bytes.substr(i, j - i));
        } else {
            out.append(replacementCharacter);
        }
        i = j;
    }
}

std::string validUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    appendValidUtf8(out, bytes);
    return out;
}

}  // namespace norvi
