#include "DisplayLines.h"

#include <algorithm>
#include <limits>

namespace {

// The cells a character takes when it starts at column. The second half of a surrogate
// pair takes none: the pair is one character and is drawn in one cell.
std::size_t cellWidth(char16_t unit, bool secondOfPair, std::size_t column)
{
    if (unit == u'\t')
        return CDisplayLines::tabColumns - column % CDisplayLines::tabColumns;
    return secondOfPair ? 0 : 1;
}

} // namespace

CDisplayLines::CDisplayLines()
{
    reset();
}

char16_t CDisplayLines::displayedUnit(char16_t unit)
{
    if (unit < 0x20 && unit != u'\t')
        return static_cast<char16_t>(0x2400 + unit);
    if (unit == 0x7F)
        return 0x2421;
    // Drawn as they are, these would break the line inside the painter; as symbols they
    // show that they arrived without changing which line is which.
    if (unit == 0x2028)
        return 0x21B5;
    if (unit == 0x2029)
        return 0x00B6;
    return unit;
}

void CDisplayLines::reset()
{
    starts.clear();
    starts.push_back(0);
    checkpoints.clear();
    longest = 0;
    breakState = LineEnd::none;
    afterHighSurrogate = false;
    lastColumns = 0;
    lastMark = 0;
}

CDisplayLines::Update CDisplayLines::setText(const CWideString& text)
{
    if (text.extends(current)) {
        std::size_t from = current.length();
        current = text;
        scan(from, current.length());
        return Update::extended;
    }
    current = text;
    reset();
    scan(0, current.length());
    return Update::rebuilt;
}

void CDisplayLines::breakLineAt(std::size_t nextStart)
{
    starts.push_back(nextStart);
    lastColumns = 0;
    lastMark = nextStart;
    afterHighSurrogate = false;
}

// Reads [from, to) and carries on from the state the previous append left, so a line end
// split between two appends (CR | LF, CR LF | LF) is read the same as in one piece. A LF
// that joins the break before it moves the start of the new, still empty, last line.
void CDisplayLines::scan(std::size_t from, std::size_t to)
{
    std::size_t pos = from;
    current.forEachPiece(from, to, [this, &pos](std::u16string_view piece) {
        for (char16_t unit : piece) {
            if (unit == u'\r') {
                breakLineAt(pos + 1);
                breakState = LineEnd::afterCr;
            } else if (unit == u'\n') {
                if (breakState == LineEnd::none) {
                    breakLineAt(pos + 1);
                } else {
                    starts.back() = pos + 1;
                    lastMark = pos + 1;
                    breakState
                        = breakState == LineEnd::afterCr ? LineEnd::afterCrLf : LineEnd::none;
                }
            } else {
                breakState = LineEnd::none;
                bool secondOfPair = afterHighSurrogate && isLowSurrogate(unit);
                // Never between the halves of a pair, so a walk starting here needs no
                // knowledge of the character before.
                if (pos - lastMark >= checkpointUnits && !secondOfPair) {
                    checkpoints.push_back({ pos, lastColumns });
                    lastMark = pos;
                }
                lastColumns += cellWidth(unit, secondOfPair, lastColumns);
                afterHighSurrogate = isHighSurrogate(unit);
                longest = std::max(longest, lastColumns);
            }
            ++pos;
        }
    });
}

std::size_t CDisplayLines::lineEnd(std::size_t line) const
{
    if (line + 1 >= starts.size())
        return current.length();
    // A line's characters never include CR or LF, so its break is the run of them just
    // before the next line's start (at most three).
    std::size_t end = starts[line + 1];
    while (end > starts[line] && (current[end - 1] == u'\r' || current[end - 1] == u'\n'))
        --end;
    return end;
}

std::size_t CDisplayLines::lineOf(std::size_t offset) const
{
    auto after = std::upper_bound(starts.begin(), starts.end(), offset);
    return static_cast<std::size_t>(after - starts.begin()) - 1;
}

CDisplayLines::Checkpoint CDisplayLines::seekColumn(std::size_t line, std::size_t column) const
{
    std::size_t start = starts[line];
    std::size_t end = lineEnd(line);
    auto byOffset = [](const Checkpoint& c, std::size_t offset) { return c.offset < offset; };
    auto first = std::lower_bound(checkpoints.begin(), checkpoints.end(), start, byOffset);
    auto last = std::lower_bound(first, checkpoints.end(), end, byOffset);
    auto after = std::upper_bound(first, last, column,
        [](std::size_t value, const Checkpoint& c) { return value < c.column; });
    return after == first ? Checkpoint { start, 0 } : *(after - 1);
}

CDisplayLines::Checkpoint CDisplayLines::seekOffset(std::size_t line, std::size_t offset) const
{
    std::size_t start = starts[line];
    auto byOffset = [](const Checkpoint& c, std::size_t value) { return c.offset < value; };
    auto first = std::lower_bound(checkpoints.begin(), checkpoints.end(), start, byOffset);
    auto after = std::upper_bound(first, checkpoints.end(), offset,
        [](std::size_t value, const Checkpoint& c) { return value < c.offset; });
    return after == first ? Checkpoint { start, 0 } : *(after - 1);
}

// Calls step(offset, unit, column, width) for each character from `from` up to end, until
// step returns false. If it never does, step is called once more with offset end and the
// column there (unit and width 0), so callers learn the line's width the same way.
template <typename Step>
void CDisplayLines::walk(Checkpoint from, std::size_t end, Step&& step) const
{
    bool stopped = false;
    bool afterHigh = false;
    std::size_t offset = from.offset;
    std::size_t column = from.column;
    current.forEachPiece(from.offset, end, [&](std::u16string_view piece) {
        for (char16_t unit : piece) {
            if (stopped)
                return;
            bool secondOfPair = afterHigh && isLowSurrogate(unit);
            std::size_t width = cellWidth(unit, secondOfPair, column);
            if (!step(offset, unit, column, width)) {
                stopped = true;
                return;
            }
            column += width;
            afterHigh = isHighSurrogate(unit);
            ++offset;
        }
    });
    if (!stopped)
        step(end, char16_t { 0 }, column, std::size_t { 0 });
}

std::size_t CDisplayLines::columnOf(std::size_t line, std::size_t offset) const
{
    std::size_t end = lineEnd(line);
    std::size_t target = std::clamp(offset, starts[line], end);
    std::size_t result = 0;
    walk(seekOffset(line, target), end,
        [&](std::size_t at, char16_t, std::size_t column, std::size_t) {
            result = column;
            return at < target;
        });
    return result;
}

std::size_t CDisplayLines::lineColumns(std::size_t line) const
{
    if (line + 1 == starts.size())
        return lastColumns;
    return columnOf(line, lineEnd(line));
}

std::size_t CDisplayLines::offsetAt(std::size_t line, std::size_t column) const
{
    std::size_t end = lineEnd(line);
    std::size_t result = end;
    walk(seekColumn(line, column), end,
        [&](std::size_t at, char16_t, std::size_t cellColumn, std::size_t width) {
            result = at;
            return at < end && cellColumn + width <= column;
        });
    return result;
}

std::u16string CDisplayLines::displayText(
    std::size_t line, std::size_t firstColumn, std::size_t columnCount) const
{
    std::size_t limit = columnCount > std::numeric_limits<std::size_t>::max() - firstColumn
        ? std::numeric_limits<std::size_t>::max()
        : firstColumn + columnCount;
    std::size_t end = lineEnd(line);
    std::u16string out;
    bool shownPrevious = false;
    walk(seekColumn(line, firstColumn), end,
        [&](std::size_t at, char16_t unit, std::size_t column, std::size_t width) {
            if (at == end)
                return false;
            if (width == 0) {
                // The second half of a pair goes wherever its first half went.
                if (shownPrevious)
                    out.push_back(unit);
                return true;
            }
            if (column >= limit)
                return false;
            if (unit == u'\t') {
                std::size_t from = std::max(column, firstColumn);
                std::size_t to = std::min(column + width, limit);
                if (from < to)
                    out.append(to - from, u' ');
                shownPrevious = false;
            } else {
                shownPrevious = column >= firstColumn;
                if (shownPrevious)
                    out.push_back(displayedUnit(unit));
            }
            return true;
        });
    return out;
}
