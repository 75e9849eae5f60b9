#include "PlainText.h"

#include <cstdio>

namespace {

void appendEscaped(std::string& out, unsigned char byte)
{
    char code[5];
    std::snprintf(code, sizeof code, "\\x%02X", unsigned(byte));
    out += code;
}

} // namespace

std::string plainText(std::string_view text, EBlanks blanks)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        // U+0080 to U+009F are control characters that some terminals obey; in UTF-8
        // they are 0xC2 followed by 0x80 to 0x9F.
        bool c1 = byte == 0xC2 && i + 1 < text.size()
            && static_cast<unsigned char>(text[i + 1]) >= 0x80
            && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c1) {
            appendEscaped(out, byte);
            appendEscaped(out, static_cast<unsigned char>(text[++i]));
        } else if (byte < 0x20 || byte == 0x7F || byte == '\\'
            || (byte == ' ' && blanks == EBlanks::escape)) {
            appendEscaped(out, byte);
        } else {
            out += char(byte);
        }
    }
    return out;
}
