#pragma once

#include <cstddef>
#include <string>

namespace norvi {

// Standard base64 (A-Z a-z 0-9 + /, "=" padding, no line breaks), appended to `out`.
void appendBase64(std::string& out, const void* data, std::size_t size);

}  // namespace norvi
