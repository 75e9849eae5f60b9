#include "WideString.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <vector>

struct CWideString::Storage {
    std::vector<std::unique_ptr<char16_t[]>> chunks;
    std::size_t used = 0; // units written; every string on this storage is a prefix of it
    std::size_t firstCapacity = 0; // the first chunk grows to full size; the others start full
};

CWideString::CWideString(std::u16string_view text)
{
    append(text);
}

CWideString::CWideString(const char16_t* text)
    : CWideString(std::u16string_view(text ? text : u""))
{
}

char16_t CWideString::operator[](std::size_t index) const
{
    assert(index < size);
    return chunkData(index / chunkUnits)[index % chunkUnits];
}

const char16_t* CWideString::chunkData(std::size_t chunk) const
{
    return storage->chunks[chunk].get();
}

void CWideString::assign(std::u16string_view text)
{
    makeEmpty();
    append(text);
}

void CWideString::makeEmpty()
{
    storage.reset();
    size = 0;
}

void CWideString::append(std::u16string_view text)
{
    appendUnits(text.data(), text.size());
}

void CWideString::append(char16_t unit)
{
    appendUnits(&unit, 1);
}

void CWideString::append(const CWideString& other)
{
    if (other.storage && other.storage == storage) {
        // Its units live in our own storage, which this append may grow or move.
        append(std::u16string_view(other.toU16String()));
        return;
    }
    other.forEachPiece(0, other.size, [this](std::u16string_view piece) { append(piece); });
}

// Gives this string storage of its own when others may still read units past our end,
// so that writing there cannot change what they see.
void CWideString::detach()
{
    if (storage && storage->used == size)
        return;
    CWideString old = *this;
    storage = std::make_shared<Storage>();
    size = 0;
    old.forEachPiece(0, old.size,
        [this](std::u16string_view piece) { appendUnits(piece.data(), piece.size()); });
}

void CWideString::appendUnits(const char16_t* units, std::size_t count)
{
    if (count == 0)
        return;
    if (!storage)
        storage = std::make_shared<Storage>();
    else
        detach();
    while (count > 0) {
        std::size_t chunk = size / chunkUnits;
        std::size_t offset = size % chunkUnits;
        if (chunk == storage->chunks.size())
            storage->chunks.push_back(nullptr);
        if (chunk == 0 && storage->firstCapacity < std::min(chunkUnits, offset + count)) {
            // Short texts (a port name, a typed line) stay small; the first chunk doubles
            // until it is full size, so filling it copies each unit at most once more.
            std::size_t capacity = std::min(chunkUnits,
                std::max({ offset + count, 2 * storage->firstCapacity, std::size_t(16) }));
            auto grown = std::make_unique_for_overwrite<char16_t[]>(capacity);
            if (offset > 0)
                std::memcpy(grown.get(), storage->chunks[0].get(), offset * sizeof(char16_t));
            storage->chunks[0] = std::move(grown);
            storage->firstCapacity = capacity;
        } else if (!storage->chunks[chunk]) {
            storage->chunks[chunk] = std::make_unique_for_overwrite<char16_t[]>(chunkUnits);
        }
        std::size_t n = std::min(chunkUnits - offset, count);
        std::memcpy(storage->chunks[chunk].get() + offset, units, n * sizeof(char16_t));
        units += n;
        count -= n;
        size += n;
        storage->used = size;
    }
}

std::u16string CWideString::substr(std::size_t from, std::size_t count) const
{
    std::u16string out;
    if (from >= size)
        return out;
    std::size_t to = count > size - from ? size : from + count;
    out.reserve(to - from);
    forEachPiece(from, to, [&out](std::u16string_view piece) { out.append(piece); });
    return out;
}

bool CWideString::extends(const CWideString& older) const
{
    return older.size == 0 || (storage == older.storage && size >= older.size);
}

bool operator==(const CWideString& a, const CWideString& b)
{
    if (a.size != b.size)
        return false;
    if (a.size == 0 || a.storage == b.storage)
        return true;
    // Every string starts at the start of its first chunk, so chunk boundaries line up.
    for (std::size_t chunk = 0; chunk * CWideString::chunkUnits < a.size; ++chunk) {
        std::size_t count
            = std::min(CWideString::chunkUnits, a.size - chunk * CWideString::chunkUnits);
        if (std::memcmp(a.chunkData(chunk), b.chunkData(chunk), count * sizeof(char16_t)) != 0)
            return false;
    }
    return true;
}

bool operator==(const CWideString& a, std::u16string_view b)
{
    if (a.size != b.size())
        return false;
    std::size_t at = 0;
    bool same = true;
    a.forEachPiece(0, a.size, [&](std::u16string_view piece) {
        same = same && piece == b.substr(at, piece.size());
        at += piece.size();
    });
    return same;
}
