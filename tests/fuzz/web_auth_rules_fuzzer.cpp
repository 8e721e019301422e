// The sign-in URL rule and the callback-scheme rule on arbitrary bytes. The first byte picks
// the rule. An accepted URL is an https URL, or an http URL to a loopback host, that passes the
// rule again unchanged; an accepted scheme is its own lowercase form and no web scheme.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "web-auth-addon/request_rules.h"
#include "web-auth-addon/uri_components.h"

using namespace norvi::webauth;

namespace {

void checkUrl(std::string_view input) {
    const std::optional<std::string> url = validatedAuthUrl(input);
    if (!url) return;
    if (input.empty() || input.size() > 8192) std::abort();
    const std::optional<UriComponents> parts = parseUriReference(*url);
    if (!parts || !parts->scheme || !parts->host || parts->host->empty()) std::abort();
    if (parts->user || parts->password || parts->fragment) std::abort();
    const std::string scheme = asciiLowercase(*parts->scheme);
    const std::string host = asciiLowercase(*parts->host);
    const bool loopback = host == "localhost" || host == "127.0.0.1" || host == "::1";
    if (scheme != "https" && !(scheme == "http" && loopback)) std::abort();
    if (validatedAuthUrl(*url) != url) std::abort();
}

void checkScheme(std::string_view input) {
    std::string normalized;
    if (!ParseCallbackScheme(input, normalized)) return;
    if (input.empty() || input.size() > 64 || normalized.size() != input.size()) std::abort();
    if (normalized != asciiLowercase(input) || !equalIgnoringAsciiCase(input, normalized)) std::abort();
    if (normalized == "file" || normalized == "http" || normalized == "https") std::abort();
    if (!(normalized[0] >= 'a' && normalized[0] <= 'z')) std::abort();
    for (char c : normalized) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!allowed) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] & 1) {
        checkScheme(input);
    } else {
        checkUrl(input);
    }
    return 0;
}
