#pragma once

#include <string>
#include <vector>

#include "apple-engine/platform/locale.h"

namespace norvi::engine {

// The locales' language codes, each once, sorted; locales without one add nothing.
std::vector<std::string> speechLanguageCodes(const std::vector<Locale>& locales);

}  // namespace norvi::engine
