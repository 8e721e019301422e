#include "web-auth-addon/uri_components.h"

#include <gtest/gtest.h>

namespace norvi::webauth {
namespace {

using namespace std::string_view_literals;

TEST(UriComponents, EveryByteCountsSoAnEmbeddedNulIsRefused) {
    EXPECT_FALSE(parseUriReference("https://example.com/a\0b"sv));
    EXPECT_FALSE(parseUriReference("https://example.com\0"sv));
    EXPECT_TRUE(parseUriReference("https://example.com/ab"sv));
}

TEST(UriComponents, APresentComponentCountsEvenWhenEmpty) {
    struct Case {
        std::string_view text;
        std::optional<std::string> user, password, host, fragment;
    };
    const Case cases[] = {
        {"https://h/#", std::nullopt, std::nullopt, "h", ""},
        {"https://@h/", "", std::nullopt, "h", std::nullopt},
        {"https://u:@h/", "u", "", "h", std::nullopt},
        {"https://:p@h/", "", "p", "h", std::nullopt},
        {"https:///p", std::nullopt, std::nullopt, "", std::nullopt},
        {"https:", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        auto parsed = parseUriReference(c.text);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->scheme, "https");
        EXPECT_EQ(parsed->user, c.user);
        EXPECT_EQ(parsed->password, c.password);
        EXPECT_EQ(parsed->host, c.host);
        EXPECT_EQ(parsed->fragment, c.fragment);
        EXPECT_EQ(parsed->text, c.text);
    }
}

TEST(UriComponents, IpLiteralHostsLoseTheirBracketsButKeepTheirText) {
    auto parsed = parseUriReference("http://[::1]:80/x?y");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->host, "::1");
    EXPECT_EQ(parsed->text, "http://[::1]:80/x?y");
    parsed = parseUriReference("http://[0:0:0:0:0:0:0:1]/");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->host, "0:0:0:0:0:0:0:1");
}

TEST(UriComponents, ReferencesWithoutSchemeParse) {
    auto parsed = parseUriReference("//host/path");
    ASSERT_TRUE(parsed);
    EXPECT_FALSE(parsed->scheme);
    EXPECT_EQ(parsed->host, "host");
}

}  // namespace
}  // namespace norvi::webauth
