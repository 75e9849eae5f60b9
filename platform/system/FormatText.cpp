// formatText() of Platform.h: the few printf conversions the programs use, written into
// UTF-16 units without ever splitting a surrogate pair.
#include "Platform.h"
#include "WideString.h"

#include <cstdarg>
#include <iterator>
#include <string_view>

int formatText(char16_t* buffer, std::size_t bufferSize, const char16_t* format, ...)
{
    if (!buffer || bufferSize == 0)
        return 0;
    std::size_t at = 0;
    bool full = false;
    // Writes `units` whole or not at all, keeping the last unit for the terminator, so a
    // cut never splits a surrogate pair. Once something is cut nothing more is written.
    auto put = [&](std::u16string_view units) {
        if (full || units.size() > bufferSize - 1 - at) {
            full = true;
            return;
        }
        units.copy(buffer + at, units.size());
        at += units.size();
    };
    auto putNumber = [&](unsigned magnitude, bool negative) {
        char16_t digits[12];
        std::size_t first = std::size(digits);
        do {
            digits[--first] = char16_t(u'0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (negative)
            digits[--first] = u'-';
        put(std::u16string_view(digits + first, std::size(digits) - first));
    };

    va_list arguments;
    va_start(arguments, format);
    for (const char16_t* next = format; next && *next && !full; ++next) {
        if (*next == u'%' && next[1] == u'd') {
            int value = va_arg(arguments, int);
            // Negating in unsigned arithmetic keeps INT_MIN exact.
            unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : unsigned(value);
            putNumber(magnitude, value < 0);
            ++next;
        } else if (*next == u'%' && next[1] == u'u') {
            putNumber(va_arg(arguments, unsigned), false);
            ++next;
        } else if (*next == u'%' && next[1] == u'%') {
            put(u"%");
            ++next;
        } else if (isHighSurrogate(*next) && isLowSurrogate(next[1])) {
            put(std::u16string_view(next, 2));
            ++next;
        } else {
            put(std::u16string_view(next, 1));
        }
    }
    va_end(arguments);
    buffer[at] = u'\0';
    return static_cast<int>(at);
}
