#include "tests/support/base64_decode.h"

namespace norvi::testing {

std::vector<std::uint8_t> decodeBase64(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        return c == '+' ? 62 : c == '/' ? 63 : -1;
    };
    std::vector<std::uint8_t> bytes;
    std::uint32_t group = 0;
    int bits = 0;
    for (const char c : text) {
        const int v = value(c);
        if (v < 0)
            continue;
        group = (group << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<std::uint8_t>((group >> bits) & 0xFF));
        }
    }
    return bytes;
}

}  // namespace norvi::testing
