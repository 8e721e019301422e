#include "support/json_writer.h"

#include <array>
#include <cmath>

#include "support/number_text.h"
#include "support/utf8.h"

namespace norvi {

void JsonWriter::clear() {
    text_.clear();
    levels_.clear();
    afterKey_ = false;
    lastKey_.clear();
}

void JsonWriter::newlineAndIndent(std::size_t depth) {
    text_ += '\n';
    text_.append(depth * 2, ' ');
}

void JsonWriter::beforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (levels_.empty()) {
        return;
    }
    Level& level = levels_.back();
    if (level.count++ > 0) {
        text_ += ',';
    }
    if (style_.pretty) {
        newlineAndIndent(levels_.size());
    }
}

void JsonWriter::open(char bracket, bool isObject) {
    beforeValue();
    text_ += bracket;
    levels_.push_back({isObject, 0});
}

void JsonWriter::close(char bracket) {
    const bool hadMembers = levels_.back().count > 0;
    levels_.pop_back();
    if (style_.pretty && hadMembers) {
        newlineAndIndent(levels_.size());
    }
    text_ += bracket;
}

JsonWriter& JsonWriter::beginObject() {
    open('{', true);
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    close('}');
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    open('[', false);
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    close(']');
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    beforeValue();
    appendString(name);
    text_ += style_.pretty ? " : " : ":";
    afterKey_ = true;
    lastKey_.assign(name);
    return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
    beforeValue();
    text_ += flag ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::value(double number) {
    if (!std::isfinite(number)) {
        throw JsonEncodingError("Unable to encode the number " + doubleDescription(number) +
                                (lastKey_.empty() ? "" : " under \"" + lastKey_ + "\"") +
                                " in JSON: only finite numbers can be written.");
    }
    beforeValue();
    appendShortestNumber(text_, number);
    return *this;
}

JsonWriter& JsonWriter::signedValue(std::int64_t number) {
    beforeValue();
    appendInteger(text_, number);
    return *this;
}

JsonWriter& JsonWriter::unsignedValue(std::uint64_t number) {
    beforeValue();
    appendUnsigned(text_, number);
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
    beforeValue();
    appendString(text);
    return *this;
}

JsonWriter& JsonWriter::value(const std::vector<std::string>& texts) {
    beginArray();
    for (const std::string& text : texts) {
        value(text);
    }
    return endArray();
}

namespace {

// Bytes copied into a string as they are: printable ASCII except '"' and '\\' (and '/' when
// it is escaped). Everything else ends a plain run.
constexpr std::array<bool, 256> plainBytes(bool escapeSlash) {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x80; ++c) {
        plain[c] = c != '"' && c != '\\' && !(escapeSlash && c == '/');
    }
    return plain;
}
constexpr std::array<bool, 256> plainWithSlash = plainBytes(false);
constexpr std::array<bool, 256> plainWithoutSlash = plainBytes(true);

}  // namespace

void JsonWriter::appendString(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    const std::array<bool, 256>& plain = style_.escapeSlash ? plainWithoutSlash : plainWithSlash;
    text_ += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t runStart = i;
        while (i < text.size() && plain[static_cast<unsigned char>(text[i])]) {
            ++i;
        }
        text_.append(text.substr(runStart, i - runStart));
        if (i == text.size()) {
            break;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            // A run of non-ASCII bytes is checked as UTF-8 as a whole.
            const std::size_t start = i;
            while (i < text.size() && static_cast<unsigned char>(text[i]) >= 0x80) {
                ++i;
            }
            appendValidUtf8(text_, text.substr(start, i - start));
            continue;
        }
        ++i;
        switch (c) {
            case '"': text_ += "\\\""; break;
            case '\\': text_ += "\\\\"; break;
            case '/': text_ += "\\/"; break;
            case '\b': text_ += "\\b"; break;
            case '\f': text_ += "\\f"; break;
            case '\n': text_ += "\\n"; break;
            case '\r': text_ += "\\r"; break;
            case '\t': text_ += "\\t"; break;
            default:
                text_ += "\\u00";
                text_ += hex[c >> 4];
                text_ += hex[c & 15];
                break;
        }
    }
    text_ += '"';
}

}  // namespace norvi
