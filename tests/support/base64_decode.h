#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace norvi::testing {

// The bytes of standard base64 text; characters outside the alphabet (padding included) are
// skipped.
std::vector<std::uint8_t> decodeBase64(const std::string& text);

}  // namespace norvi::testing
