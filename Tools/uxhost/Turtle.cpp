#include "Turtle.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Appends `c` to `out` as the escape in the place of `escapes` that `c` has in
// `reserved`; answers false, appending nothing, when `c` is not reserved.
bool AppendEscaped(std::string& out, char c, const char* reserved, const char* const escapes[])
{
    const char* found = c ? std::strchr(reserved, c) : nullptr;
    if (found)
        out += escapes[found - reserved];
    return found != nullptr;
}

}  // namespace

bool IsUtf8(std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        size_t length = 0;
        uint32_t codePoint = 0;
        uint32_t smallest = 0;  // below it, the sequence is an overlong form
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, codePoint = lead & 0x1F, smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, codePoint = lead & 0x0F, smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, codePoint = lead & 0x07, smallest = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i < length)
            return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (codePoint < smallest || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

std::string TurtleString(std::string_view text)
{
    constexpr const char* kEscapes[] = {"\\\"", "\\\\", "\\n", "\\r", "\\t"};
    std::string literal = "\"";
    for (const char c : text) {
        if (AppendEscaped(literal, c, "\"\\\n\r\t", kEscapes))
            continue;
        if (static_cast<uint8_t>(c) < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
            literal += escaped;
        } else {
            literal += c;
        }
    }
    return literal + "\"";
}

std::string XmlEscaped(std::string_view text)
{
    constexpr const char* kEntities[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
    std::string escaped;
    for (const char c : text)
        if (!AppendEscaped(escaped, c, "&<>\"'", kEntities))
            escaped += c;
    return escaped;
}

bool IsTurtleIri(std::string_view text)
{
    const auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || !isLetter(text[0]))
        return false;
    for (const char c : text.substr(1, colon - 1))
        if (!isLetter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.')
            return false;
    for (const char c : text)
        if (static_cast<uint8_t>(c) <= 0x20 || c == 0x7F || std::strchr("<>\"{}|^`\\", c))
            return false;
    return IsUtf8(text);
}
