#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvi {

// A record that cannot be written as JSON (a number that is not finite).
class JsonEncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct JsonStyle {
    // Pretty: one member per line, two spaces per level, " : " between key and value.
    bool pretty = false;
    // Write "/" as "\/".
    bool escapeSlash = false;
};

// Streams one JSON document into a string, members in the order they are written. Strings are
// written as well-formed UTF-8; the quotation mark, the backslash and U+0000..U+001F are escaped
// (\b \f \n \r \t, otherwise \u00xx). Numbers use the shortest round-trip form.
class JsonWriter {
public:
    explicit JsonWriter(JsonStyle style = {}) : style_(style) {}

    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    JsonWriter& key(std::string_view name);

    JsonWriter& value(bool flag);
    JsonWriter& value(double number);  // throws JsonEncodingError when not finite
    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& value(const std::string& text) { return value(std::string_view(text)); }
    template <std::signed_integral T>
        requires(!std::same_as<T, bool>)
    JsonWriter& value(T number) {
        return signedValue(number);
    }
    template <std::unsigned_integral T>
        requires(!std::same_as<T, bool>)
    JsonWriter& value(T number) {
        return unsignedValue(number);
    }
    JsonWriter& value(const std::vector<std::string>& texts);

    template <typename T>
    JsonWriter& member(std::string_view name, const T& memberValue) {
        key(name);
        return value(memberValue);
    }
    // An absent optional member is left out entirely.
    template <typename T>
    JsonWriter& member(std::string_view name, const std::optional<T>& memberValue) {
        return memberValue ? member(name, *memberValue) : *this;
    }

    const std::string& text() const { return text_; }
    std::string take() { return std::move(text_); }
    // Starts a new document, keeping the storage.
    void clear();

private:
    struct Level {
        bool isObject;
        std::size_t count;
    };

    JsonWriter& signedValue(std::int64_t number);
    JsonWriter& unsignedValue(std::uint64_t number);
    void beforeValue();
    void newlineAndIndent(std::size_t depth);
    void open(char bracket, bool isObject);
    void close(char bracket);
    void appendString(std::string_view text);

    JsonStyle style_;
    std::string text_;
    std::vector<Level> levels_;
    bool afterKey_ = false;
    std::string lastKey_;
};

}  // namespace norvi
