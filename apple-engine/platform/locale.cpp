#include "apple-engine/platform/locale.h"

namespace norvi::engine {

Locale Locale::fromIdentifier(std::string identifier) {
    const std::size_t end = identifier.find_first_of("-_");
    std::string first = identifier.substr(0, end);
    bool letters = first.size() >= 2 && first.size() <= 8;
    for (char& c : first) {
        const bool upper = c >= 'A' && c <= 'Z';
        letters = letters && (upper || (c >= 'a' && c <= 'z'));
        if (upper)
            c = static_cast<char>(c - 'A' + 'a');
    }
    Locale locale{std::move(identifier), std::nullopt};
    if (letters)
        locale.languageCode = std::move(first);
    return locale;
}

}  // namespace norvi::engine
