#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace norvi::webauth {

// The parts of a URI reference that the URL checks look at. A component that is present but
// empty ("https://host/#") holds an empty string; an absent one holds nothing. The host of an
// IP literal is given without its square brackets.
struct UriComponents {
    std::optional<std::string> scheme;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> host;
    std::optional<std::string> fragment;
    // The reference written back from its parsed components.
    std::string text;
};

// Parses `text` as an RFC 3986 URI reference with the strict parser; nothing when the parser
// refuses it. Every byte counts, so an embedded NUL is refused rather than ending the text.
std::optional<UriComponents> parseUriReference(std::string_view text);

}  // namespace norvi::webauth
