#include "web-auth-addon/request_rules.h"

#include <algorithm>

#include "support/utf8.h"
#include "web-auth-addon/uri_components.h"

namespace norvi::webauth {
namespace {

constexpr std::size_t maximumAuthUrlBytes = 8192;
constexpr std::size_t maximumCallbackSchemeBytes = 64;

bool isControlByte(char byte) {
    const auto value = static_cast<unsigned char>(byte);
    return value < 0x20 || value == 0x7F;
}

bool hasControlByte(std::string_view text) {
    return std::any_of(text.begin(), text.end(), isControlByte);
}

bool isAsciiLetter(char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
}
bool isAsciiDigit(char byte) {
    return byte >= '0' && byte <= '9';
}

char lowercaseByte(char byte) {
    return byte >= 'A' && byte <= 'Z' ? char(byte - 'A' + 'a') : byte;
}

bool isLoopbackHost(std::string_view host) {
    return host == "localhost" || host == "127.0.0.1" || host == "::1";
}

}  // namespace

std::string asciiLowercase(std::string_view text) {
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), lowercaseByte);
    return lowered;
}

bool equalIgnoringAsciiCase(std::string_view left, std::string_view right) {
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(),
                      [](char a, char b) { return lowercaseByte(a) == lowercaseByte(b); });
}

std::optional<std::string> validatedAuthUrl(std::string_view authUrl) {
    if (authUrl.empty() || authUrl.size() > maximumAuthUrlBytes)
        return std::nullopt;
    if (hasControlByte(authUrl))
        return std::nullopt;
    if (validUtf8(authUrl) != authUrl)
        return std::nullopt;
    auto components = parseUriReference(authUrl);
    if (!components)
        return std::nullopt;
    const std::string scheme = asciiLowercase(components->scheme.value_or(""));
    const std::string host = asciiLowercase(components->host.value_or(""));
    const bool qualifies = scheme == "https" || (scheme == "http" && isLoopbackHost(host));
    if (!qualifies || host.empty())
        return std::nullopt;
    if (components->user || components->password || components->fragment)
        return std::nullopt;
    return std::move(components->text);
}

bool ParseCallbackScheme(std::string_view callbackScheme, std::string& normalized) {
    if (callbackScheme.empty() || callbackScheme.size() > maximumCallbackSchemeBytes)
        return false;
    if (hasControlByte(callbackScheme))
        return false;
    if (!isAsciiLetter(callbackScheme.front()))
        return false;
    const bool allowed = std::all_of(callbackScheme.begin(), callbackScheme.end(), [](char byte) {
        return isAsciiLetter(byte) || isAsciiDigit(byte) || byte == '+' || byte == '-' ||
               byte == '.';
    });
    if (!allowed)
        return false;
    std::string lowered = asciiLowercase(callbackScheme);
    if (lowered == "file" || lowered == "http" || lowered == "https")
        return false;
    normalized = std::move(lowered);
    return true;
}

}  // namespace norvi::webauth
