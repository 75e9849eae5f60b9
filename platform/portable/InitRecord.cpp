#include "InitRecord.h"

#include "Resources.h"

#include <algorithm>

namespace {

// Reads little-endian fields from the front of a span, refusing any read that would
// run past its end.
class CRecordReader {
public:
    explicit CRecordReader(std::span<const std::uint8_t> bytes)
        : rest(bytes)
    {
    }

    bool atEnd() const { return rest.empty(); }

    // A field of `count` bytes, at most 4.
    std::optional<std::uint32_t> read(std::size_t count)
    {
        auto bytes = take(count);
        if (!bytes)
            return std::nullopt;
        std::uint32_t value = 0;
        for (std::size_t i = count; i-- > 0;)
            value = value << 8 | (*bytes)[i];
        return value;
    }

    std::optional<std::span<const std::uint8_t>> take(std::size_t count)
    {
        if (count > rest.size())
            return std::nullopt;
        auto taken = rest.first(count);
        rest = rest.subspan(count);
        return taken;
    }

private:
    std::span<const std::uint8_t> rest;
};

} // namespace

std::optional<std::vector<CInitEntry>> parseInitRecord(std::span<const std::uint8_t> record)
{
    CRecordReader reader(record);
    std::vector<CInitEntry> entries;
    for (;;) {
        auto controlId = reader.read(2);
        if (!controlId)
            return std::nullopt;
        if (*controlId == 0)
            break;
        auto message = reader.read(2);
        auto length = message ? reader.read(4) : std::nullopt;
        auto data = length ? reader.take(*length) : std::nullopt;
        if (!data)
            return std::nullopt;
        entries.push_back(CInitEntry { std::uint16_t(*controlId), std::uint16_t(*message), *data });
    }
    return reader.atEnd() ? std::optional(std::move(entries)) : std::nullopt;
}

std::optional<std::string_view> initEntryBytes(const CInitEntry& entry)
{
    if (entry.message != initAddString)
        return std::nullopt;
    auto end = std::ranges::find(entry.data, std::uint8_t(0));
    if (end == entry.data.end())
        return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(entry.data.data()),
        static_cast<std::size_t>(end - entry.data.begin()));
}
