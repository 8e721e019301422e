#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "apple-engine/output.h"
#include "apple-engine/platform/speech.h"

namespace norvi::engine {

// The text without Unicode white space (space separators, tab, line feed, vertical tab, form
// feed, carriage return, U+0085, U+2028, U+2029) at either end.
std::string trimWhitespace(std::string_view text);

// Seconds as whole milliseconds, halves away from zero; nothing when the time is not finite or
// too large for a 64-bit count.
std::optional<std::int64_t> millisecondsFrom(double seconds);

// The record of a result whose trimmed text is not empty. A final result carries its times,
// unless either of them cannot be written (then both are left out).
LineEvent lineEventFor(const SpeechResult& result, std::string text, std::int64_t id);

}  // namespace norvi::engine
