#include "apple-engine/platform/apertium_stream_format.h"

#include <vector>

namespace norvi::engine {
namespace {

constexpr std::string_view whiteSpace = " \t\n\r\f\v";
constexpr std::string_view reserved = "\\[]^$/@<>{}";

bool isSpace(char c) {
    return whiteSpace.find(c) != std::string_view::npos;
}

std::string blankBlock(std::string_view space) {
    return "[" + std::string(space) + "]";
}

// One unit of apertium's output: a character (escaped or not, a byte of UTF-8), a space, or a
// blank block's contents.
struct Piece {
    enum class Kind { character, escaped, space, blank } kind;
    char character = 0;
    std::string blank{};
};

std::vector<Piece> readPieces(std::string_view output) {
    std::vector<Piece> pieces;
    pieces.reserve(output.size());
    for (std::size_t index = 0; index < output.size();) {
        const char c = output[index];
        if (c == '\\' && index + 1 < output.size()) {
            pieces.push_back({Piece::Kind::escaped, output[index + 1]});
            index += 2;
        } else if (c == '[') {
            std::string content;
            ++index;
            while (index < output.size() && output[index] != ']') {
                if (output[index] == '\\' && index + 1 < output.size())
                    ++index;
                content += output[index++];
            }
            ++index;
            const bool endMark = content.empty() && !pieces.empty() &&
                                 pieces.back().kind == Piece::Kind::character &&
                                 pieces.back().character == '.';
            if (endMark) {
                pieces.pop_back();
            } else if (!content.empty()) {
                pieces.push_back({Piece::Kind::blank, 0, std::move(content)});
            }
        } else {
            pieces.push_back({c == ' ' ? Piece::Kind::space : Piece::Kind::character, c});
            ++index;
        }
    }
    return pieces;
}

}  // namespace

std::optional<std::string> apertiumInput(std::string_view text) {
    std::string clean;
    for (char c : text) {
        if (c != '\0')
            clean += c;
    }
    const std::size_t first = clean.find_first_not_of(whiteSpace);
    if (first == std::string::npos)
        return std::nullopt;
    const std::size_t last = clean.find_last_not_of(whiteSpace);
    std::string input;
    if (first > 0)
        input += blankBlock(std::string_view(clean).substr(0, first));
    for (std::size_t index = first; index <= last;) {
        const char c = clean[index];
        if (isSpace(c)) {
            const std::size_t end = clean.find_first_not_of(whiteSpace, index);
            const std::string_view space = std::string_view(clean).substr(index, end - index);
            input += space == " " ? std::string(" ") : blankBlock(space);
            index = end;
            continue;
        }
        if (reserved.find(c) != std::string_view::npos)
            input += '\\';
        input += c;
        ++index;
    }
    input += ".[]";
    if (last + 1 < clean.size())
        input += blankBlock(std::string_view(clean).substr(last + 1));
    return input;
}

std::string apertiumOutput(std::string_view output, std::string_view original) {
    const auto isMark = [&](const Piece& piece) {
        if (piece.kind != Piece::Kind::character)
            return false;
        const char c = piece.character;
        return c == '@' || ((c == '#' || c == '*') && original.find(c) == std::string_view::npos);
    };
    const std::vector<Piece> pieces = readPieces(output);
    std::string text;
    bool afterWord = false;  // the last piece written was part of a word
    bool space = false;      // a space is owed before the next word (none at either end)
    for (std::size_t index = 0; index < pieces.size(); ++index) {
        const Piece& piece = pieces[index];
        switch (piece.kind) {
            case Piece::Kind::space:
                space = space || afterWord;
                afterWord = false;
                break;
            case Piece::Kind::blank:
                space = false;
                afterWord = false;
                text += piece.blank;
                break;
            case Piece::Kind::character:
            case Piece::Kind::escaped: {
                const bool nextIsWord = index + 1 < pieces.size() &&
                                        (pieces[index + 1].kind == Piece::Kind::character ||
                                         pieces[index + 1].kind == Piece::Kind::escaped);
                if (!afterWord && nextIsWord && isMark(piece))
                    break;
                if (space)
                    text += ' ';
                space = false;
                afterWord = true;
                text += piece.character;
                break;
            }
        }
    }
    return text;
}

}  // namespace norvi::engine
