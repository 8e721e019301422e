#pragma once

#include <string>

namespace norvi::helper {

// A fresh random (version 4) UUID in canonical upper-case text, 8-4-4-4-12 hexadecimal digits.
std::string makeUUIDText();

}  // namespace norvi::helper
