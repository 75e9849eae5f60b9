#include "DisplayLines.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr std::size_t wholeLine = std::u16string::npos;

std::vector<std::u16string> shownLines(const CDisplayLines& lines)
{
    std::vector<std::u16string> shown;
    for (std::size_t line = 0; line < lines.lineCount(); ++line)
        shown.push_back(lines.displayText(line, 0, wholeLine));
    return shown;
}

// Everything a reader of the model can observe about each line.
void expectSameLines(const CDisplayLines& actual, const CDisplayLines& expected)
{
    ASSERT_EQ(actual.lineCount(), expected.lineCount());
    EXPECT_EQ(actual.longestLineColumns(), expected.longestLineColumns());
    for (std::size_t line = 0; line < expected.lineCount(); ++line) {
        EXPECT_EQ(actual.lineStart(line), expected.lineStart(line)) << "line " << line;
        EXPECT_EQ(actual.lineEnd(line), expected.lineEnd(line)) << "line " << line;
        EXPECT_EQ(actual.lineColumns(line), expected.lineColumns(line)) << "line " << line;
        EXPECT_EQ(actual.displayText(line, 3, 20), expected.displayText(line, 3, 20));
    }
}

struct LineEndCase {
    const char* name;
    std::u16string text;
    std::vector<std::u16string> lines;
};

class LineEnds : public ::testing::TestWithParam<LineEndCase> { };

TEST_P(LineEnds, ShowOneLinePerLine)
{
    CDisplayLines lines;
    lines.setText(CWideString(GetParam().text));
    EXPECT_EQ(shownLines(lines), GetParam().lines);
}

// The receiver turns each received CR into CR LF, so a CR LF device gives CR LF LF, a
// CR device gives CR LF and a LF device gives LF.
INSTANTIATE_TEST_SUITE_P(DeviceStyles, LineEnds,
    ::testing::Values(
        LineEndCase { "crLfDevice", u"one\r\n\ntwo\r\n\nthree", { u"one", u"two", u"three" } },
        LineEndCase { "crDevice", u"one\r\ntwo\r\nthree", { u"one", u"two", u"three" } },
        LineEndCase { "lfDevice", u"one\ntwo\nthree", { u"one", u"two", u"three" } },
        LineEndCase { "crLfDeviceBlankLine", u"a\r\n\n\r\n\nb", { u"a", u"", u"b" } },
        LineEndCase { "crDeviceBlankLine", u"a\r\n\r\nb", { u"a", u"", u"b" } },
        LineEndCase { "lfDeviceBlankLine", u"a\n\nb", { u"a", u"", u"b" } },
        LineEndCase { "thirdLfIsABreak", u"a\r\n\n\nb", { u"a", u"", u"b" } },
        LineEndCase { "loneCr", u"a\rb\r\rc", { u"a", u"b", u"", u"c" } },
        LineEndCase { "endsWithBreak", u"a\r\n\n", { u"a", u"" } },
        LineEndCase { "endsWithCr", u"a\r", { u"a", u"" } }, LineEndCase { "empty", u"", { u"" } }),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

// Tabs, surrogate pairs, controls and every kind of line end, so that any split can land
// inside a break, a pair or a run of tabs.
const std::u16string mixedText = u"ab\tc\r\n\nd\r\n\r\ne\n\n\x01\tf\r\r\n\n\n\xD83D\xDE00g\t\th\r";

TEST(DisplayLines, AppendsSplitAnywhereGiveTheSameLinesAsOne)
{
    CDisplayLines whole;
    whole.setText(CWideString(mixedText));
    for (std::size_t first = 0; first <= mixedText.size(); ++first) {
        for (std::size_t second = first; second <= mixedText.size(); ++second) {
            CDisplayLines pieces;
            CWideString text(mixedText.substr(0, first));
            pieces.setText(text);
            text.append(std::u16string_view(mixedText).substr(first, second - first));
            EXPECT_EQ(pieces.setText(text), CDisplayLines::Update::extended);
            text.append(std::u16string_view(mixedText).substr(second));
            EXPECT_EQ(pieces.setText(text), CDisplayLines::Update::extended);
            SCOPED_TRACE(testing::Message() << "split at " << first << ", " << second);
            expectSameLines(pieces, whole);
        }
    }
}

TEST(DisplayLines, ControlsShowAsPicturesAndTabsAsCellsToTheNextEighth)
{
    CDisplayLines lines;
    const std::u16string text(u"a\0b\x01\x1B\x7F\x2028\x2029z", 9);
    lines.setText(CWideString(text));
    ASSERT_EQ(lines.lineCount(), 1u);
    EXPECT_EQ(lines.displayText(0, 0, wholeLine),
        u"a\x2400"
        u"b\x2401\x241B\x2421\x21B5\x00B6z");
    EXPECT_EQ(lines.lineColumns(0), 9u);
    EXPECT_EQ(lines.text(), text);

    // Tabs run to the next multiple of eight and cut cleanly.
    lines.setText(CWideString(u"ab\tc\t\td"));
    EXPECT_EQ(lines.displayText(0, 0, wholeLine),
        u"ab      c       "
        u"        d");
    EXPECT_EQ(lines.lineColumns(0), 25u);
    // A range that starts inside a tab shows only the tab's cells from there.
    EXPECT_EQ(lines.displayText(0, 5, 5), u"   c ");
    EXPECT_EQ(lines.offsetAt(0, 5), 2u);
    EXPECT_EQ(lines.columnOf(0, 3), 8u);
}

// Checks a line many checkpoints long: every range drawn from the middle must match the
// same cells cut out of the whole line, and positions must map to columns and back.
void expectSameCellsFromAnyColumn(const CDisplayLines& lines, std::size_t line)
{
    std::u16string whole = lines.displayText(line, 0, wholeLine);
    std::vector<std::u16string> cells;
    for (std::size_t i = 0; i < whole.size(); i += cells.back().size()) {
        bool pair = whole[i] >= 0xD800 && whole[i] <= 0xDBFF && i + 1 < whole.size();
        cells.push_back(whole.substr(i, pair ? 2 : 1));
    }
    ASSERT_EQ(cells.size(), lines.lineColumns(line));

    for (std::size_t first = 0; first < cells.size(); first += 97) {
        std::u16string expected;
        for (std::size_t c = first; c < std::min(cells.size(), first + 150); ++c)
            expected += cells[c];
        EXPECT_EQ(lines.displayText(line, first, 150), expected) << "from column " << first;
    }

    const CWideString& text = lines.text();
    std::size_t start = lines.lineStart(line);
    std::size_t end = lines.lineEnd(line);
    std::size_t previous = 0;
    for (std::size_t offset = start + 1; offset < end; ++offset) {
        if (text[offset] >= 0xDC00 && text[offset] <= 0xDFFF)
            continue;
        std::size_t column = lines.columnOf(line, offset);
        EXPECT_GT(column, previous) << "offset " << offset;
        EXPECT_EQ(lines.offsetAt(line, column), offset) << "offset " << offset;
        previous = column;
    }
    EXPECT_EQ(lines.offsetAt(line, cells.size() + 100), end);
}

TEST(DisplayLines, LongLinesShowTheSameCellsFromAnyColumn)
{
    std::u16string mixed;
    for (int i = 0; mixed.size() < 5 * CDisplayLines::checkpointUnits; ++i)
        mixed += i % 7 == 0 ? u"\t" : i % 11 == 0 ? u"\xD83D\xDE00" : i % 13 == 0 ? u"\x01" : u"x";
    // One character, then only pairs: every low half lands on an even offset, where the
    // checkpoints fall, so a checkpoint placed between halves would misplace a column.
    std::u16string pairs = u"y";
    while (pairs.size() < 3 * CDisplayLines::checkpointUnits)
        pairs += u"\xD83D\xDE00";
    CDisplayLines lines;
    lines.setText(CWideString(mixed + u"\n" + pairs + u"\r\n\nend"));
    ASSERT_EQ(lines.lineCount(), 3u);
    expectSameCellsFromAnyColumn(lines, 0);
    expectSameCellsFromAnyColumn(lines, 1);
    EXPECT_EQ(lines.longestLineColumns(), lines.lineColumns(0));
}

TEST(DisplayLines, OffsetsInsideALineBreakBelongToTheLineTheyEnd)
{
    CDisplayLines lines;
    lines.setText(CWideString(u"ab\r\n\ncd"));
    EXPECT_EQ(lines.lineOf(2), 0u);
    EXPECT_EQ(lines.lineOf(4), 0u);
    EXPECT_EQ(lines.lineOf(5), 1u);
    EXPECT_EQ(lines.columnOf(0, 4), 2u);
}

TEST(DisplayLines, LongestLineGrowsWithAppendsAndAnythingElseRebuilds)
{
    CDisplayLines lines;
    CWideString text(u"abc\r\n\n\tx\r\n\nab");
    lines.setText(text);
    EXPECT_EQ(lines.longestLineColumns(), 9u);
    text.append(std::u16string_view(u"cdefghijkl"));
    EXPECT_EQ(lines.setText(text), CDisplayLines::Update::extended);
    EXPECT_EQ(lines.longestLineColumns(), 12u);

    // Same characters, separate storage: nothing says it extends, so it is read afresh.
    CWideString shorter(u"abc\r\n\nab");
    EXPECT_EQ(lines.setText(shorter), CDisplayLines::Update::rebuilt);
    EXPECT_EQ(lines.longestLineColumns(), 3u);
    EXPECT_EQ(shownLines(lines), (std::vector<std::u16string> { u"abc", u"ab" }));

    // An older, shorter copy of the same storage is read afresh too.
    text = CWideString(u"one\ntwo");
    CWideString older = text;
    text.append(std::u16string_view(u"\nthree"));
    lines.setText(text);
    EXPECT_EQ(lines.setText(older), CDisplayLines::Update::rebuilt);
    EXPECT_EQ(shownLines(lines), (std::vector<std::u16string> { u"one", u"two" }));
}

} // namespace
