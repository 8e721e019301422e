#pragma once

#include <stdexcept>
#include <string>

namespace norvi::helper {

// A failure the helper detects itself; `description` is the whole user-facing message.
class HelperError : public std::runtime_error {
public:
    explicit HelperError(const std::string& description) : std::runtime_error(description) {}
    std::string description() const { return what(); }
};

// A command line that names no command or an unknown one; the top level adds the usage text.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& description) : std::runtime_error(description) {}
    std::string description() const { return what(); }
};

}  // namespace norvi::helper
