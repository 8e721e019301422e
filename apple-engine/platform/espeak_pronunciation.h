#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvi::engine {

// The phones of the US English acoustic model (CMU's set, without stress) for one word, from
// its IPA as espeak-ng writes it with "--sep= " (phonemes separated by a space, words by two):
// "z ˈoːɹ b l æ k s" gives "Z AO R B L AE K S". Nothing when a phoneme has no counterpart.
std::optional<std::string> cmuPhonesFromIpa(std::string_view ipa);

// Pronunciations of words the dictionary does not know, derived from espeak-ng's US English
// phonemes; one entry per word, in order, nothing for a word that gets none (or for every word
// when espeak-ng cannot be run).
std::vector<std::optional<std::string>> espeakPronunciations(const std::vector<std::string>& words);

}  // namespace norvi::engine
