// The line structure of the received text as the receiver's field shows it: where each
// line starts, how wide it is in character cells, and what each cell shows.
//
// The text itself is never altered; this is only how it is displayed. Line ends read
// naturally whichever convention the device uses: the receiver turns each received
// carriage return into CR LF, so a device ending lines with CR LF produces CR LF LF, one
// using CR alone produces CR LF and one using LF alone produces LF. A CR LF pair is one
// break, a lone CR is one break, and a LF is one break unless it directly follows a CR LF
// pair, in which case it belongs to that line end. The line and separator characters
// U+2028 and U+2029 do not break lines; they are shown as visible symbols, so that only
// what the device sent as CR or LF decides the lines.
//
// Cells: every character takes one cell, except that a tab runs to the next multiple of
// eight cells and a surrogate pair takes one cell together. Control characters are shown
// as their Control Pictures (U+2400 + c, DEL as U+2421) so that nothing vanishes and the
// cells stay aligned.
//
// Cost: extending the text costs the length of what was appended. Memory is one size_t
// per line plus a column checkpoint every 1024 characters of a long line, so a line of
// any length can be drawn from any column without walking it from its start.
#pragma once

#include "WideString.h"

#include <cstddef>
#include <deque>
#include <string>

class CDisplayLines {
public:
    enum class Update { extended, rebuilt };

    static constexpr std::size_t tabColumns = 8;
    static constexpr std::size_t checkpointUnits = 1024;

    CDisplayLines();

    // Takes a copy of text (sharing its storage). When text extends the one held, only the
    // appended part is read; otherwise every line is found again.
    Update setText(const CWideString& text);
    const CWideString& text() const { return current; }

    // There is always at least one line; an empty text is one empty line.
    std::size_t lineCount() const { return starts.size(); }
    std::size_t lineStart(std::size_t line) const { return starts[line]; }
    // Where the line's characters end, before its line break.
    std::size_t lineEnd(std::size_t line) const;
    // The line holding offset; an offset inside a line break belongs to the line it ends.
    std::size_t lineOf(std::size_t offset) const;

    std::size_t lineColumns(std::size_t line) const;
    std::size_t longestLineColumns() const { return longest; }

    // The cell at which the character at offset starts; offsets past the line's
    // characters give the line's width.
    std::size_t columnOf(std::size_t line, std::size_t offset) const;
    // The offset of the character covering column, or the line's end past its width.
    std::size_t offsetAt(std::size_t line, std::size_t column) const;

    // What the cells [firstColumn, firstColumn + columnCount) of the line show, with
    // tabs as spaces and control characters as pictures. A tab cut by the range gives
    // only its cells inside it, so the result always starts at firstColumn.
    std::u16string displayText(
        std::size_t line, std::size_t firstColumn, std::size_t columnCount) const;

    static char16_t displayedUnit(char16_t unit);

private:
    enum class LineEnd { none, afterCr, afterCrLf };
    struct Checkpoint {
        std::size_t offset;
        std::size_t column;
    };

    void reset();
    void scan(std::size_t from, std::size_t to);
    void breakLineAt(std::size_t nextStart);
    Checkpoint seekColumn(std::size_t line, std::size_t column) const;
    Checkpoint seekOffset(std::size_t line, std::size_t offset) const;
    template <typename Step> void walk(Checkpoint from, std::size_t end, Step&& step) const;

    CWideString current;
    // deque rather than vector: growing never copies what is there, so no append pays
    // for moving the whole index, and there is no spare capacity of up to twice its size.
    std::deque<std::size_t> starts;
    std::deque<Checkpoint> checkpoints;
    std::size_t longest = 0;

    // Where scanning stopped, so that the next append continues mid-line or mid-break.
    LineEnd breakState = LineEnd::none;
    bool afterHighSurrogate = false;
    std::size_t lastColumns = 0;
    std::size_t lastMark = 0;
};
