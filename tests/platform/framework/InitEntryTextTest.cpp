// An add-string entry's text as the framework puts it into a list: decoded from the
// locale's code page with a converter of its own. The entry's data is a heap block of
// its exact length, so a read past its end shows up under AddressSanitizer.
#include "InitEntryText.h"
#include "Platform.h"
#include "Resources.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

std::optional<std::u16string> entryString(const std::vector<std::uint8_t>& data)
{
    return initEntryString(CInitEntry { 1000, initAddString, data });
}

TEST(InitEntryText, DecodedFromTheDefaultCodePage)
{
    const struct {
        std::vector<std::uint8_t> data;
        std::optional<std::u16string> text;
    } cases[] = {
        { { 0xC3, 0xA9, 0 }, u"\u00E9" },
        // A character cut short by the NUL is shown as replaced, not dropped silently.
        { { 'x', 0xC3, 0 }, u"x\uFFFD" },
        { { 'a', 'b', 0, 0xC3, 'd' }, u"ab" },
        { { 'a', 'b' }, std::nullopt },
    };
    for (const auto& row : cases)
        EXPECT_EQ(entryString(row.data), row.text) << row.data.size() << " bytes";
}

TEST(InitEntryText, LeavesTheSharedDecoderAlone)
{
    // A receiver may be in the middle of a character when a dialog is built.
    char16_t units[8];
    ASSERT_EQ(byteToWide(0, 0, "\xE2\x82", 2, units, 8), 0);
    EXPECT_EQ(entryString({ '7', 0 }), u"7");
    ASSERT_EQ(byteToWide(0, 0, "\xAC", 1, units, 8), 1);
    EXPECT_EQ(units[0], u'\u20AC');
}

} // namespace
