#include "support/json_writer.h"

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

void JsonWriter::appendString(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    text_ += '"';
    std::size_t plainStart = 0;
    auto flushPlain = [&](std::size_t end) {
        appendValidUtf8(text_, text.substr(plainStart, end - plainStart));
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const char* escape = nullptr;
        switch (c) {
            case '"': escape = "\\\""; break;
            case '\\': escape = "\\\\"; break;
            case '\b': escape = "\\b"; break;
            case '\f': escape = "\\f"; break;
            case '\n': escape = "\\n"; break;
            case '\r': escape = "\\r"; break;
            case '\t': escape = "\\t"; break;
            case '/':
                if (style_.escapeSlash) escape = "\\/";
                break;
            default: break;
        }
        if (escape == nullptr && c >= 0x20) {
            continue;
        }
        flushPlain(i);
        plainStart = i + 1;
        if (escape != nullptr) {
            text_ += escape;
        } else {
            text_ += "\\u00";
            text_ += hex[c >> 4];
            text_ += hex[c & 15];
        }
    }
    flushPlain(text.size());
    text_ += '"';
}

}  // namespace norvi
