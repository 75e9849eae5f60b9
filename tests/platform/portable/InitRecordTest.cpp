// The initialisation record parser: a good record in full, and damaged ones refused.
// Records are copied into heap blocks of their exact length, so that a read past the
// end shows up under AddressSanitizer rather than passing by luck.
#include "InitRecord.h"
#include "Resources.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

constexpr std::uint16_t portListId = 1004;
constexpr auto portListRecord = makePortListInitRecord(portListId);

std::vector<std::uint8_t> record(std::initializer_list<int> bytes)
{
    std::vector<std::uint8_t> out;
    for (int byte : bytes)
        out.push_back(std::uint8_t(byte));
    return out;
}

// An add-string entry for control 1000 carrying `data`, then the end marker.
std::vector<std::uint8_t> addStringRecord(const std::vector<std::uint8_t>& data)
{
    std::vector<std::uint8_t> out = record({ 0xE8, 0x03, 0x03, 0x04 });
    std::uint32_t length = std::uint32_t(data.size());
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(std::uint8_t(length >> shift));
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(0);
    out.push_back(0);
    return out;
}

std::optional<std::string_view> onlyBytes(const std::vector<std::uint8_t>& bytes)
{
    auto entries = parseInitRecord(bytes);
    if (!entries || entries->size() != 1)
        return std::nullopt;
    return initEntryBytes(entries->front());
}

TEST(InitRecord, PortListRecordGivesTheNineDigitsInOrder)
{
    constexpr std::string_view digits = "123456789";
    std::vector<std::uint8_t> bytes(portListRecord.begin(), portListRecord.end());
    auto entries = parseInitRecord(bytes);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 9u);
    for (std::size_t at = 0; at < 9; ++at) {
        const CInitEntry& entry = (*entries)[at];
        EXPECT_EQ(entry.controlId, portListId);
        EXPECT_EQ(entry.message, initAddString);
        EXPECT_EQ(entry.data.size(), 4u);
        EXPECT_EQ(initEntryBytes(entry), digits.substr(at, 1));
    }
}

TEST(InitRecord, TruncatedOverlongOrOverrunRecordsAreRefused)
{
    for (std::size_t length = 0; length < portListRecord.size(); ++length) {
        std::vector<std::uint8_t> bytes(portListRecord.begin(), portListRecord.begin() + length);
        EXPECT_FALSE(parseInitRecord(bytes)) << "cut to " << length << " bytes";
    }
    // Bytes after the end marker, even a second end marker.
    std::vector<std::uint8_t> longer(portListRecord.begin(), portListRecord.end());
    for (int extra = 0; extra < 2; ++extra) {
        longer.push_back(0);
        EXPECT_FALSE(parseInitRecord(longer)) << extra + 1 << " bytes after the end";
    }
    // Lengths that run past the end: 0xFFFFFFFF would wrap a 32-bit position; one past
    // the end is the nearest miss.
    for (std::uint32_t length : { 0xFFFFFFFFu, 0x80000000u, 7u, 5u }) {
        std::vector<std::uint8_t> bytes = addStringRecord({ '1', 0, 0, 0 });
        for (int shift = 0; shift < 32; shift += 8)
            bytes[4 + std::size_t(shift / 8)] = std::uint8_t(length >> shift);
        EXPECT_FALSE(parseInitRecord(bytes)) << "length " << length;
    }
}

TEST(InitRecord, EmptyListAndEmptyDataAreWellFormed)
{
    auto none = parseInitRecord(record({ 0, 0 }));
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());

    auto entries = parseInitRecord(addStringRecord({}));
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 1u);
    EXPECT_EQ(entries->front().controlId, 1000);
    EXPECT_TRUE(entries->front().data.empty());
    EXPECT_FALSE(initEntryBytes(entries->front())) << "no NUL, so no string";
}

// An add-string entry's text ends at its first NUL; data without one, or an entry of
// another message, carries none.
TEST(InitRecordString, EndsAtTheFirstNulOfAnAddStringEntry)
{
    EXPECT_EQ(onlyBytes(addStringRecord({ 'a', 'b', 0, 'c', 'd' })), "ab");
    EXPECT_EQ(onlyBytes(addStringRecord({ 0 })), "");
    EXPECT_FALSE(onlyBytes(addStringRecord({ '1', '2', '3', '4' })));
    std::vector<std::uint8_t> otherMessage = addStringRecord({ '1', 0 });
    otherMessage[2] = 0x01; // message 0x0401
    EXPECT_FALSE(onlyBytes(otherMessage));
}

} // namespace
