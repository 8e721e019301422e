// The engine's option parser and its "--vocabulary" reading on arbitrary input. Bit 0 of the
// first byte picks the option set (transcribe's or translate's); with bit 1 set the rest is a
// vocabulary text, otherwise it is an argument list separated by NUL bytes whose "--vocabulary"
// value, when parsed, is read as well.
// A parse either fails with "Unknown option: " and the first name outside the set, or yields
// exactly the pairs of the arguments, later names replacing earlier ones; a vocabulary is the
// array's strings in order, or empty when the text is anything but a JSON array of strings.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "apple-engine/command_options.h"
#include "apple-engine/helper_error.h"
#include "support/utf8.h"

using namespace norvi::engine;

namespace {

const std::set<std::string> transcribeOptions{"--language", "--target", "--vocabulary"};
const std::set<std::string> translateOptions{"--language", "--target"};

std::vector<std::string> vocabularyOrAbort(std::string_view text) {
    try {
        return parseVocabulary(text);
    } catch (...) {
        std::abort();
    }
}

void checkVocabulary(std::string_view text) {
    const std::vector<std::string> vocabulary = vocabularyOrAbort(text);
    const nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
    const bool allStrings =
        value.is_array() && std::all_of(value.begin(), value.end(), [](const nlohmann::json& item) {
            return item.is_string();
        });
    if (allStrings) {
        if (vocabulary != value.get<std::vector<std::string>>())
            std::abort();
    } else if (!vocabulary.empty()) {
        std::abort();
    }
    for (const std::string& word : vocabulary) {
        if (norvi::validUtf8(word) != word)
            std::abort();
    }
    // What was read, written back as a JSON array, reads back the same.
    if (!vocabulary.empty() && vocabularyOrAbort(nlohmann::json(vocabulary).dump()) != vocabulary) {
        std::abort();
    }
}

void checkOptions(const std::vector<std::string>& arguments, const std::set<std::string>& allowed) {
    ParsedOptions options;
    try {
        options = parseOptions(arguments, allowed);
    } catch (const HelperError& error) {
        for (std::size_t position = 0; position < arguments.size(); position += 2) {
            if (!allowed.contains(arguments[position])) {
                if (error.description() != "Unknown option: " + arguments[position])
                    std::abort();
                return;
            }
        }
        std::abort();
    } catch (...) {
        std::abort();
    }
    ParsedOptions pairs;
    for (std::size_t position = 0; position < arguments.size(); position += 2) {
        if (!allowed.contains(arguments[position]))
            std::abort();
        if (position + 1 < arguments.size())
            pairs[arguments[position]] = arguments[position + 1];
    }
    if (options != pairs)
        std::abort();
    if (const auto vocabulary = options.find("--vocabulary"); vocabulary != options.end()) {
        checkVocabulary(vocabulary->second);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] & 2) {
        checkVocabulary(rest);
        return 0;
    }
    std::vector<std::string> arguments;
    if (!rest.empty()) {
        arguments.emplace_back();
        for (const char c : rest) {
            if (c == '\0') {
                arguments.emplace_back();
            } else {
                arguments.back() += c;
            }
        }
    }
    checkOptions(arguments, data[0] & 1 ? translateOptions : transcribeOptions);
    return 0;
}
