#include "support/number_text.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include <gtest/gtest.h>

namespace norvi {
namespace {

TEST(NumberText, ShortestNumbersReadBackExactly) {
    const struct {
        double value;
        const char* json;
        const char* description;
    } cases[] = {
        {0.0, "0", "0.0"},
        {48000.0, "48000", "48000.0"},
        {1.0, "1", "1.0"},
        {0.25, "0.25", "0.25"},
        {1.0 / 32767.0, "3.051850947599719e-05", "3.051850947599719e-05"},
        {-2.5, "-2.5", "-2.5"},
        {1e21, "1e+21", "1e+21"},
        {std::numeric_limits<double>::infinity(), nullptr, "inf"},
        {-std::numeric_limits<double>::infinity(), nullptr, "-inf"},
        {std::nan(""), nullptr, "nan"},
    };
    for (const auto& c : cases) {
        if (c.json != nullptr) {
            EXPECT_EQ(shortestNumberText(c.value), c.json);
            EXPECT_EQ(std::strtod(c.json, nullptr), c.value);
        }
        EXPECT_EQ(doubleDescription(c.value), c.description);
    }
}

}  // namespace
}  // namespace norvi
