// The character conversions of Platform.h: each checks its arguments and hands over to
// the process-wide codec of its code page (ProcessCodecs.h).
#include "Platform.h"
#include "ProcessCodecs.h"

#include <climits>
#include <cstring>
#include <string>

namespace {

int clampToInt(std::size_t value)
{
    return value > std::size_t(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

} // namespace

int wideToBytes(std::uint32_t codePage, std::uint32_t /*flags*/, const char16_t* source,
    int sourceLength, char* destination, int destinationSize, const char* defaultChar,
    bool* usedDefaultChar)
{
    if (usedDefaultChar)
        *usedDefaultChar = false;
    if (!source || sourceLength < -1 || destinationSize < 0
        || (destinationSize > 0 && !destination))
        return 0;
    CTextCodec* codec = codecFor(codePage);
    if (!codec)
        return 0;

    std::u16string_view text = sourceLength == -1
        ? std::u16string_view(source, std::char_traits<char16_t>::length(source) + 1)
        : std::u16string_view(source, static_cast<std::size_t>(sourceLength));
    bool replaced = false;
    std::string bytes = codec->encode(
        text, defaultChar ? std::optional<std::string_view>(defaultChar) : std::nullopt, &replaced);
    if (usedDefaultChar)
        *usedDefaultChar = replaced;

    if (bytes.size() > std::size_t(INT_MAX))
        return 0;
    if (destinationSize == 0)
        return static_cast<int>(bytes.size());
    if (bytes.size() > static_cast<std::size_t>(destinationSize)) {
        // Leaves an empty text rather than a cut one, so a caller that goes on to
        // measure or send the destination sends nothing instead of part of the line.
        destination[0] = '\0';
        return 0;
    }
    std::memcpy(destination, bytes.data(), bytes.size());
    return static_cast<int>(bytes.size());
}

int byteToWide(std::uint32_t codePage, std::uint32_t /*flags*/, const char* source,
    int sourceLength, char16_t* destination, int destinationSize)
{
    if ((!source && sourceLength != 0) || sourceLength < -1 || destinationSize < 0
        || (destinationSize > 0 && !destination))
        return 0;
    CTextCodec* codec = codecFor(codePage);
    if (!codec)
        return 0;

    std::string_view bytes;
    if (sourceLength == -1)
        bytes = std::string_view(source, std::strlen(source) + 1);
    else if (sourceLength > 0)
        bytes = std::string_view(source, static_cast<std::size_t>(sourceLength));
    if (destinationSize == 0)
        return clampToInt(codec->countDecoded(bytes));
    return clampToInt(codec->decodeInto(
        bytes, std::span<char16_t>(destination, static_cast<std::size_t>(destinationSize))));
}
