#include "support/json_writer.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

namespace norvi {
namespace {

std::string sample(JsonStyle style) {
    JsonWriter writer(style);
    writer.beginObject()
        .member("text", std::string("a/b \"q\" \\ \x01\b\f\n\r\t\x1f caf\xC3\xA9"))
        .member("count", -3)
        .member("big", std::uint64_t{18446744073709551615u})
        .member("ratio", 0.5)
        .member("absent", std::optional<int>{})
        .member("flag", false)
        .key("list").value(std::vector<std::string>{"x", "y"})
        .key("empty").beginObject().endObject()
        .endObject();
    return writer.take();
}

TEST(JsonWriter, CompactEscapesAsTheProtocolsWant) {
    EXPECT_EQ(sample({.pretty = false, .escapeSlash = false}),
              R"({"text":"a/b \"q\" \\ \u0001\b\f\n\r\t\u001f café","count":-3,"big":18446744073709551615,)"
              R"("ratio":0.5,"flag":false,"list":["x","y"],"empty":{}})");
    EXPECT_EQ(sample({.pretty = false, .escapeSlash = true}).substr(0, 14), R"({"text":"a\/b )");
    EXPECT_TRUE(nlohmann::json::accept(sample({.pretty = false, .escapeSlash = true})));
}

TEST(JsonWriter, PrettyLayoutIndentsEachMember) {
    JsonWriter writer({.pretty = true, .escapeSlash = true});
    writer.beginObject().member("granted", true).key("nested").beginObject().member("a", 1).endObject();
    writer.key("list").value(std::vector<std::string>{"x"}).endObject();
    EXPECT_EQ(writer.text(),
              "{\n  \"granted\" : true,\n  \"nested\" : {\n    \"a\" : 1\n  },\n  \"list\" : [\n    \"x\"\n  ]\n}");
}

TEST(JsonWriter, RefusesNonFiniteNumbersAndRepairsBadUtf8) {
    for (double bad : {std::numeric_limits<double>::infinity(), std::nan("")}) {
        JsonWriter writer;
        writer.beginObject().key("sampleRate");
        try {
            writer.value(bad);
            FAIL() << "no error";
        } catch (const JsonEncodingError& error) {
            EXPECT_NE(std::string(error.what()).find("sampleRate"), std::string::npos);
        }
    }
    JsonWriter writer;
    writer.value(std::string_view("\xFF"));
    EXPECT_EQ(writer.text(), "\"\xEF\xBF\xBD\"");
}

}  // namespace
}  // namespace norvi
