#include "support/utf8.h"

#include <gtest/gtest.h>

namespace norvi {
namespace {

constexpr const char* fffd = "\xEF\xBF\xBD";

TEST(Utf8, ReplacesEachMaximalSubpartOnce) {
    const struct {
        std::string input;
        std::string expected;
    } cases[] = {
        {"plain ascii", "plain ascii"},
        {"gr\xC3\xBC\xC3\x9F", "gr\xC3\xBC\xC3\x9F"},
        {"\xF0\x9F\x8E\xA4", "\xF0\x9F\x8E\xA4"},
        {"a\xFF" "b", std::string("a") + fffd + "b"},
        // A truncated four-byte sequence is one subpart.
        {"\xF0\x9F\x8E" "x", std::string(fffd) + "x"},
        // Surrogates and overlong forms: every byte stands alone.
        {"\xED\xA0\x80", std::string(fffd) + fffd + fffd},
        {"\xC0\xAF", std::string(fffd) + fffd},
        {"\xE0\x80\xAF", std::string(fffd) + fffd + fffd},
        {"\xF4\x90\x80\x80", std::string(fffd) + fffd + fffd + fffd},
        // Unicode's own example: 61 F1 80 80 E1 80 C2 62 80 63 80 BF 64.
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         std::string("a") + fffd + fffd + fffd + "b" + fffd + "c" + fffd + fffd + "d"},
        {"\xE2\x82", fffd},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(validUtf8(c.input), c.expected);
    }
}

}  // namespace
}  // namespace norvi
