#include "apple-engine/platform/espeak_pronunciation.h"

#include <chrono>
#include <map>

#include "apple-engine/platform/child_process.h"

namespace norvi::engine {
namespace {

// espeak-ng's US English phonemes (and a few it borrows from other voices), with rhotic and
// syllabic combinations spelled out the way CMU's dictionary writes them.
const std::map<std::string_view, std::string_view>& phoneTable() {
    static const std::map<std::string_view, std::string_view> table{
        {"a", "AE"},  {"aɪ", "AY"},    {"aɪə", "AY AH"}, {"aɪɚ", "AY ER"}, {"aʊ", "AW"},
        {"b", "B"},   {"d", "D"},      {"dʒ", "JH"},     {"e", "EH"},      {"eɪ", "EY"},
        {"f", "F"},   {"g", "G"},      {"h", "HH"},      {"i", "IY"},      {"iə", "IY AH"},
        {"iː", "IY"}, {"j", "Y"},      {"k", "K"},       {"l", "L"},       {"l̩", "AH L"},
        {"m", "M"},   {"m̩", "AH M"},   {"n", "N"},       {"n̩", "AH N"},    {"o", "OW"},
        {"oʊ", "OW"}, {"oː", "OW"},    {"oːɹ", "AO R"},  {"p", "P"},       {"r", "R"},
        {"s", "S"},   {"t", "T"},      {"tʃ", "CH"},     {"u", "UW"},      {"uː", "UW"},
        {"v", "V"},   {"w", "W"},      {"x", "K"},       {"z", "Z"},       {"æ", "AE"},
        {"ð", "DH"},  {"ŋ", "NG"},     {"ɐ", "AH"},      {"ɑ", "AA"},      {"ɑ̃", "AA"},
        {"ɑː", "AA"}, {"ɑːɹ", "AA R"}, {"ɒ", "AA"},      {"ɔ", "AO"},      {"ɔɪ", "OY"},
        {"ɔː", "AO"}, {"ɔːɹ", "AO R"}, {"ə", "AH"},      {"əl", "AH L"},   {"ɚ", "ER"},
        {"ɛ", "EH"},  {"ɛɹ", "EH R"},  {"ɜ", "ER"},      {"ɜː", "ER"},     {"ɝ", "ER"},
        {"ɡ", "G"},   {"ɪ", "IH"},     {"ɪɹ", "IH R"},   {"ɫ", "L"},       {"ɹ", "R"},
        {"ɾ", "T"},   {"ʃ", "SH"},     {"ʊ", "UH"},      {"ʊɹ", "UH R"},   {"ʌ", "AH"},
        {"ʒ", "ZH"},  {"ʔ", "T"},      {"θ", "TH"},      {"ᵻ", "IH"},
    };
    return table;
}

// Stress marks carry no phone of their own.
std::string withoutStress(std::string_view phoneme) {
    std::string plain;
    for (std::size_t index = 0; index < phoneme.size();) {
        if (phoneme.substr(index).starts_with("ˈ") || phoneme.substr(index).starts_with("ˌ")) {
            index += std::string_view("ˈ").size();
        } else {
            plain += phoneme[index++];
        }
    }
    return plain;
}

}  // namespace

std::optional<std::string> cmuPhonesFromIpa(std::string_view ipa) {
    std::string phones;
    std::size_t position = 0;
    while (position < ipa.size()) {
        const std::size_t end = std::min(ipa.find(' ', position), ipa.size());
        const std::string phoneme = withoutStress(ipa.substr(position, end - position));
        position = end + 1;
        if (phoneme.empty())
            continue;
        const auto found = phoneTable().find(phoneme);
        if (found == phoneTable().end())
            return std::nullopt;
        if (!phones.empty())
            phones += ' ';
        phones += found->second;
    }
    if (phones.empty())
        return std::nullopt;
    return phones;
}

std::vector<std::optional<std::string>> espeakPronunciations(
    const std::vector<std::string>& words) {
    std::vector<std::optional<std::string>> pronunciations(words.size());
    if (words.empty())
        return pronunciations;
    // Read from standard input line by line, espeak-ng answers each line with one line.
    std::string input;
    for (const std::string& word : words)
        input += word + "\n";
    const std::optional<std::string> output = runProgram(
        {"espeak-ng", "-q", "--ipa", "--sep= ", "-v", "en-us"}, input, std::chrono::seconds(10));
    if (!output)
        return pronunciations;
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < output->size();) {
        const std::size_t end = std::min(output->find('\n', start), output->size());
        lines.push_back(std::string_view(*output).substr(start, end - start));
        start = end + 1;
    }
    if (lines.size() != words.size())
        return pronunciations;
    for (std::size_t index = 0; index < words.size(); ++index)
        pronunciations[index] = cmuPhonesFromIpa(lines[index]);
    return pronunciations;
}

}  // namespace norvi::engine
