#pragma once

#include <stdexcept>
#include <string>

namespace norvi::helper {

// A failure reported by a platform framework; what() is the framework's own description.
class PlatformError : public std::runtime_error {
public:
    explicit PlatformError(const std::string& description) : std::runtime_error(description) {}
};

}  // namespace norvi::helper
