#include "web-auth-addon/uri_components.h"

#include <cstdlib>

#include <uriparser/Uri.h>

namespace norvi::webauth {
namespace {

class ParsedUri {
  public:
    ParsedUri() = default;
    ~ParsedUri() { uriFreeUriMembersA(&uri_); }
    ParsedUri(const ParsedUri&) = delete;
    ParsedUri& operator=(const ParsedUri&) = delete;

    UriUriA* get() { return &uri_; }

  private:
    UriUriA uri_{};
};

// uriparser marks a present component by a non-null start, even when it is empty.
std::optional<std::string> component(const UriTextRangeA& range) {
    if (range.first == nullptr)
        return std::nullopt;
    return std::string(range.first, range.afterLast);
}

std::optional<std::string> recomposed(const UriUriA* uri) {
    int required = 0;
    if (uriToStringCharsRequiredA(uri, &required) != URI_SUCCESS)
        return std::nullopt;
    std::string text(static_cast<std::size_t>(required) + 1, '\0');
    int written = 0;
    if (uriToStringA(text.data(), uri, required + 1, &written) != URI_SUCCESS) {
        return std::nullopt;
    }
    // `written` counts the terminating NUL.
    text.resize(static_cast<std::size_t>(written > 0 ? written - 1 : 0));
    return text;
}

// uriparser writes an IPv6 host back in its expanded binary form; keep the literal as it was
// written by handing it back as bracketed host text.
void keepIp6LiteralText(UriUriA& uri) {
    if (uri.hostData.ip6 == nullptr)
        return;
    std::free(uri.hostData.ip6);
    uri.hostData.ip6 = nullptr;
    uri.hostData.ipFuture = uri.hostText;
}

}  // namespace

std::optional<UriComponents> parseUriReference(std::string_view text) {
    ParsedUri parsed;
    const char* errorPosition = nullptr;
    if (uriParseSingleUriExA(parsed.get(), text.data(), text.data() + text.size(),
                             &errorPosition) != URI_SUCCESS) {
        return std::nullopt;
    }
    UriUriA& uri = *parsed.get();
    UriComponents components;
    components.scheme = component(uri.scheme);
    if (auto userInfo = component(uri.userInfo)) {
        const std::size_t colon = userInfo->find(':');
        components.user = userInfo->substr(0, colon);
        if (colon != std::string::npos)
            components.password = userInfo->substr(colon + 1);
    }
    components.host = component(uri.hostText);
    components.fragment = component(uri.fragment);
    keepIp6LiteralText(uri);
    auto written = recomposed(&uri);
    if (!written)
        return std::nullopt;
    components.text = std::move(*written);
    return components;
}

}  // namespace norvi::webauth
