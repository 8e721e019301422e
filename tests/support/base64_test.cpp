#include "support/base64.h"

#include <gtest/gtest.h>

namespace norvi {
namespace {

TEST(Base64, EncodesEveryPaddingLength) {
    const struct {
        std::string input;
        std::string expected;
    } cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"},
        {"\xff\xff\xff", "////"}, {std::string("\0\0\0", 3), "AAAA"}, {"\xfb\xef", "++8="},
    };
    for (const auto& c : cases) {
        std::string out = "prefix:";
        appendBase64(out, c.input.data(), c.input.size());
        EXPECT_EQ(out, "prefix:" + c.expected) << c.input;
    }
}

}  // namespace
}  // namespace norvi
