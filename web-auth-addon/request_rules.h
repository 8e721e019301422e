#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace norvi::webauth {

// The sign-in URL to open when `authUrl` (its UTF-8 bytes) is an HTTPS URL, or an HTTP URL to
// the loopback host, with a host and without user information or a fragment; nothing otherwise.
std::optional<std::string> validatedAuthUrl(std::string_view authUrl);

// Checks a custom callback scheme and stores its ASCII-lowercase form in `normalized`.
bool ParseCallbackScheme(std::string_view callbackScheme, std::string& normalized);

// ASCII-only lowercasing and comparison: URL schemes and hosts are compared this way.
std::string asciiLowercase(std::string_view text);
bool equalIgnoringAsciiCase(std::string_view left, std::string_view right);

}  // namespace norvi::webauth
