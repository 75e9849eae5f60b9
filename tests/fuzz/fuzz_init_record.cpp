// The initialisation-record parser on arbitrary bytes. Besides the sanitizers, it
// checks that the parser accepts exactly the records it can account for: the entries
// it gives, written out again with their end marker, are the record byte for byte,
// and each entry's data lies inside the record.
#include "InitEntryText.h"

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Ends the run as a crash, naming the broken promise, so libFuzzer keeps the input.
#define require(condition)                                                                         \
    ((condition) ? void() : (std::fprintf(stderr, "broken: %s\n", #condition), std::abort()))

void put16(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(std::uint8_t(value));
    out.push_back(std::uint8_t(value >> 8));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::setlocale(LC_ALL, "C.UTF-8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> record(data, size);
    auto entries = parseInitRecord(record);
    if (!entries)
        return 0;

    std::vector<std::uint8_t> rebuilt;
    for (const CInitEntry& entry : *entries) {
        require(entry.controlId != 0);
        require(entry.data.empty()
            || (entry.data.data() >= data && entry.data.data() + entry.data.size() <= data + size));
        put16(rebuilt, entry.controlId);
        put16(rebuilt, entry.message);
        put16(rebuilt, std::uint16_t(entry.data.size()));
        put16(rebuilt, std::uint16_t(entry.data.size() >> 16));
        rebuilt.insert(rebuilt.end(), entry.data.begin(), entry.data.end());

        if (auto text = initEntryString(entry))
            // At most one unit per byte before the NUL, plus a replacement at the end.
            require(text->size() <= entry.data.size() + 1);
    }
    put16(rebuilt, 0);
    require(rebuilt.size() == size && std::equal(rebuilt.begin(), rebuilt.end(), data));
    return 0;
}
