#include "apple-engine/command_options.h"

#include <nlohmann/json.hpp>

#include "apple-engine/helper_error.h"

namespace norvi::engine {

ParsedOptions parseOptions(const std::vector<std::string>& arguments,
                           const std::set<std::string>& allowed) {
    ParsedOptions options;
    for (std::size_t position = 0; position < arguments.size(); position += 2) {
        const std::string& name = arguments[position];
        if (!allowed.contains(name)) {
            throw HelperError("Unknown option: " + name);
        }
        if (position + 1 < arguments.size()) {
            options[name] = arguments[position + 1];
        }
    }
    return options;
}

std::vector<std::string> parseVocabulary(std::string_view text) {
    const nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
    std::vector<std::string> vocabulary;
    if (!value.is_array())
        return vocabulary;
    for (const nlohmann::json& item : value) {
        if (!item.is_string())
            return {};
        vocabulary.push_back(item.get<std::string>());
    }
    return vocabulary;
}

}  // namespace norvi::engine
