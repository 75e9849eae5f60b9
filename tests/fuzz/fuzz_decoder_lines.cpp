// The received-byte decoder and the display-line index on arbitrary bytes, split into
// arbitrary chunks as reads deliver them, with the connection now and then ended
// between two chunks.
//
// Two decoders of the same encoding take the same bytes: one a byte at a time, as the
// receiver does (a carriage return becoming CR LF), the other a chunk at a time into a
// destination of random size, so units that do not fit wait for the next call. Their
// texts must agree. The line index, extended chunk by chunk as the field's text grows,
// must agree with an index built from scratch over the final text.
#include "DisplayLines.h"
#include "TextCodec.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

// Ends the run as a crash, naming the broken promise, so libFuzzer keeps the input.
#define require(condition)                                                                         \
    ((condition) ? void() : (std::fprintf(stderr, "broken: %s\n", #condition), std::abort()))

// One received byte, appended as the receiver appends it.
void appendReceived(CTextCodec& codec, char byte, CWideString& text)
{
    std::u16string units;
    codec.decode(std::string_view(&byte, 1), units);
    if (byte == '\r') {
        if (!units.empty() && units.back() == u'\r')
            units.pop_back();
        units += u"\r\n";
    }
    text.append(units);
}

std::u16string withLineBreaks(const std::u16string& decoded)
{
    std::u16string out;
    for (char16_t unit : decoded) {
        out.push_back(unit);
        if (unit == u'\r')
            out.push_back(u'\n');
    }
    return out;
}

void requireSameIndex(const CDisplayLines& grown, const CDisplayLines& built)
{
    require(grown.lineCount() == built.lineCount());
    require(grown.longestLineColumns() == built.longestLineColumns());
    for (std::size_t line = 0; line < built.lineCount(); ++line) {
        require(grown.lineStart(line) == built.lineStart(line));
        require(grown.lineEnd(line) == built.lineEnd(line));
        require(grown.lineColumns(line) == built.lineColumns(line));
        require(built.lineStart(line) <= built.lineEnd(line));
        require(built.lineEnd(line) <= built.text().length());
    }
}

// Column and offset lookups stay inside the line and agree with each other.
void probeLine(const CDisplayLines& lines, std::size_t line, std::size_t column)
{
    std::size_t width = lines.lineColumns(line);
    std::size_t offset = lines.offsetAt(line, column);
    require(offset >= lines.lineStart(line) && offset <= lines.lineEnd(line));
    require(lines.columnOf(line, offset) <= std::max(column, width));
    require(lines.lineOf(offset) == line || offset == lines.lineEnd(line));
    lines.displayText(line, column, 40);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    static const char* const codesets[] = { "UTF-8", "EUC-JP", "GB18030", "CP1255" };
    const char* codeset = codesets[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
    std::optional<CTextCodec> byteWise = CTextCodec::open(codeset);
    std::optional<CTextCodec> chunked = CTextCodec::open(codeset);
    if (!byteWise || !chunked)
        return 0;

    CWideString field;
    CDisplayLines lines;
    std::u16string chunkedText;
    while (input.remaining_bytes() > 0) {
        std::size_t length = input.ConsumeIntegralInRange<std::size_t>(1, 300);
        std::size_t room = input.ConsumeIntegralInRange<std::size_t>(0, 16);
        bool reconnect = input.ConsumeIntegralInRange<int>(0, 15) == 0;
        std::string chunk = input.ConsumeBytesAsString(length);

        for (char byte : chunk)
            appendReceived(*byteWise, byte, field);
        std::vector<char16_t> destination(room);
        std::size_t written = chunked->decodeInto(chunk, destination);
        require(written <= room);
        chunkedText.append(destination.data(), written);
        if (reconnect) {
            byteWise->endStream();
            chunked->endStream();
        }

        // Once the index holds some text, the field only ever grows: every update must
        // take the cheap path that reads only the appended part.
        bool holdsText = !lines.text().empty();
        CDisplayLines::Update update = lines.setText(field);
        require(!holdsText || update == CDisplayLines::Update::extended);
        if (lines.lineCount() > 0 && !chunk.empty()) {
            std::size_t line = std::uint8_t(chunk[0]) % lines.lineCount();
            probeLine(lines, line, std::uint8_t(chunk.back()));
        }
    }

    std::u16string tail;
    byteWise->finishDecoding(tail);
    field.append(withLineBreaks(tail));
    chunked->finishDecoding(chunkedText);
    require(field.toU16String() == withLineBreaks(chunkedText));

    lines.setText(field);
    CDisplayLines built;
    built.setText(CWideString(field.toU16String()));
    requireSameIndex(lines, built);
    return 0;
}
