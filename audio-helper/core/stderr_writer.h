#pragma once

#include <string_view>

namespace norvi::helper {

// Writes the text to standard error at once, in one unbuffered write, adding nothing.
void writeStderr(std::string_view text);

}  // namespace norvi::helper
