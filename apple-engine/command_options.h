#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace norvi::engine {

using ParsedOptions = std::map<std::string, std::string>;

// Reads the arguments in pairs: a name from `allowed`, then its value when one follows.
// Throws HelperError "Unknown option: " for any other name.
ParsedOptions parseOptions(const std::vector<std::string>& arguments,
                           const std::set<std::string>& allowed);

// The "--vocabulary" value as a JSON array of strings; anything else is the empty list.
std::vector<std::string> parseVocabulary(std::string_view text);

}  // namespace norvi::engine
