#pragma once

#include <string>
#include <string_view>

namespace norvi {

// Appends `bytes` as well-formed UTF-8: every ill-formed sequence becomes one U+FFFD per
// maximal subpart (Unicode's recommended substitution), everything else is copied unchanged.
void appendValidUtf8(std::string& out, std::string_view bytes);
std::string validUtf8(std::string_view bytes);

}  // namespace norvi
