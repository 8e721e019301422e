#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace norvi::engine {

// Plain text in and out of apertium's stream format, the job of its "txt" deformatter and
// reformatter, done here because that deformatter does not pass the NUL that ends each
// translation in null-flush mode.

// The text as apertium reads it: the characters its stream format reserves (\ [ ] ^ $ / @ <
// > { }) escaped with a backslash, every stretch of white space other than one space between
// words kept verbatim as a blank block ("[\n\n]"), and the end of the text marked with ".[]"
// (which also makes apertium finish its last word). Nothing when the text has no word to
// translate. NUL characters are left out.
std::optional<std::string> apertiumInput(std::string_view text);

// apertium's answer as plain text: escapes and blank blocks undone, the end mark removed,
// runs of spaces it made squeezed to one (and dropped at either end and next to a blank
// block), and its marks for words it could not translate (a leading @, or a leading # or *
// when the original text has none) removed. `original` is the text before apertiumInput().
std::string apertiumOutput(std::string_view output, std::string_view original);

}  // namespace norvi::engine
