// A growable string of 16-bit character units (UTF-16), the type of every text the
// programs handle: field contents, port names, messages.
//
// Copies share storage, and appending to a string that ends where its storage ends
// writes in place, so "reload the field, append a few characters, put it back" costs
// the length of what was appended, not the length of the whole text. Storage is kept
// in fixed-size chunks: past the first, growing never moves what is already there. Units a string
// has once held never change, so a copy keeps seeing exactly the text it was given; a change that
// is not an append at the end (assign, clear, append to an older copy) gives the string fresh
// storage of its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

class CWideString {
public:
    CWideString() = default;
    CWideString(
        std::u16string_view text); // NOLINT(google-explicit-constructor): literals read naturally
    CWideString(const char16_t* text); // NOLINT(google-explicit-constructor)

    std::size_t length() const { return size; }
    bool empty() const { return size == 0; }
    char16_t operator[](std::size_t index) const;

    void assign(std::u16string_view text);
    void append(std::u16string_view text);
    void append(const char16_t* text) { append(std::u16string_view(text ? text : u"")); }
    void append(char16_t unit);
    void append(const CWideString& other);
    void makeEmpty();

    CWideString& operator=(std::u16string_view text)
    {
        assign(text);
        return *this;
    }
    CWideString& operator=(const char16_t* text)
    {
        assign(text ? std::u16string_view(text) : std::u16string_view());
        return *this;
    }

    // The units [from, from + count) as one contiguous string; count is clamped to the end.
    std::u16string substr(std::size_t from, std::size_t count = std::u16string::npos) const;
    std::u16string toU16String() const { return substr(0); }

    // Calls visit(std::u16string_view) for the units [from, to) in order, one contiguous
    // piece at a time, without copying them.
    template <typename Visitor>
    void forEachPiece(std::size_t from, std::size_t to, Visitor&& visit) const
    {
        if (to > size)
            to = size;
        while (from < to) {
            std::size_t chunk = from / chunkUnits;
            std::size_t offset = from % chunkUnits;
            std::size_t count = std::min(chunkUnits - offset, to - from);
            visit(std::u16string_view(chunkData(chunk) + offset, count));
            from += count;
        }
    }

    // True when this string is `older` with nothing changed and possibly more appended,
    // known without comparing the text: both share storage and this one is no shorter.
    bool extends(const CWideString& older) const;

    friend bool operator==(const CWideString& a, const CWideString& b);
    friend bool operator==(const CWideString& a, std::u16string_view b);
    friend bool operator==(const CWideString& a, const char16_t* b)
    {
        return a == std::u16string_view(b ? b : u"");
    }

    static constexpr std::size_t chunkUnits = 16384;

private:
    struct Storage;
    const char16_t* chunkData(std::size_t chunk) const;
    void appendUnits(const char16_t* units, std::size_t count);
    void detach();

    std::shared_ptr<Storage> storage;
    std::size_t size = 0;
};

// The two halves of a surrogate pair, which together make one character beyond the BMP.
constexpr bool isHighSurrogate(char16_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}
constexpr bool isLowSurrogate(char16_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}
