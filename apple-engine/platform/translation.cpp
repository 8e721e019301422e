#include "apple-engine/platform/translation.h"

#include <algorithm>

namespace norvi::engine {

std::string Language::minimalIdentifier() const {
    std::string minimal = identifier;
    std::replace(minimal.begin(), minimal.end(), '_', '-');
    return minimal;
}

}  // namespace norvi::engine
