#pragma once

#include <optional>
#include <string>

namespace norvi::engine {

// A locale value: its identifier as given and its language code, the first subtag when it is
// two to eight ASCII letters (lower-cased), otherwise none ("" and "1234" have none).
struct Locale {
    std::string identifier;
    std::optional<std::string> languageCode;

    static Locale fromIdentifier(std::string identifier);
    bool operator==(const Locale&) const = default;
};

}  // namespace norvi::engine
