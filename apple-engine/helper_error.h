#pragma once

#include <stdexcept>
#include <string>

namespace norvi::engine {

// A failure the engine detects itself; `description` is the whole user-facing message and the
// error's textual form, with nothing added.
class HelperError : public std::runtime_error {
  public:
    explicit HelperError(const std::string& description) : std::runtime_error(description) {}
    std::string description() const { return what(); }
};

}  // namespace norvi::engine
