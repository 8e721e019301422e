#pragma once

#include <string_view>

namespace norvi::helper {

// The helper's usage text, without a final line feed.
extern const std::string_view usageText;

}  // namespace norvi::helper
