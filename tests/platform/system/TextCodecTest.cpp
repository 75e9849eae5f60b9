// Character conversion: the default code page follows the locale (UTF-8 in the test
// run), and CTextCodec is exercised directly with encodings no installed locale uses.
#include "TextCodec.h"
#include "Platform.h"
#include "ProcessCodecs.h"
#include "TableRow.h"

#include <climits>
#include <clocale>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::string bytesOf(std::initializer_list<int> values)
{
    std::string out;
    for (int value : values)
        out.push_back(static_cast<char>(value));
    return out;
}

// Passes `bytes` to byteToWide one at a time, as the receiver does, and records how
// many units each call gave.
struct FedResult {
    std::u16string text;
    std::vector<int> counts;
};

FedResult feedOneByOne(const std::string& bytes)
{
    FedResult result;
    for (char byte : bytes) {
        char16_t units[8];
        int count = byteToWide(0, 0, &byte, 1, units, int(std::size(units)));
        result.counts.push_back(count);
        result.text.append(units, std::size_t(std::max(count, 0)));
    }
    return result;
}

class DefaultCodePage : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CTextCodec::localeCodeset(), "UTF-8") << "the tests run in a UTF-8 locale";
        // Ends any character an earlier test left unfinished in the shared decoder.
        feedOneByOne("\n");
    }

    std::string toBytes(const std::u16string& text)
    {
        int needed = wideToBytes(0, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string out(std::size_t(std::max(needed, 0)), '\xAA');
        int written = wideToBytes(0, 0, text.c_str(), -1, out.data(), needed, nullptr, nullptr);
        EXPECT_EQ(written, needed);
        return out;
    }
};

TEST_F(DefaultCodePage, ConvertsTheTerminatorOnlyWhenItEndsTheSource)
{
    char out[256];
    std::memset(out, 0x55, sizeof out);
    int written = wideToBytes(0, 0, u"Hi\r", -1, out, int(sizeof out), nullptr, nullptr);
    EXPECT_EQ(written, 4);
    EXPECT_EQ(std::string(out, 4), std::string("Hi\r\0", 4));
    EXPECT_EQ(byteLength(out), 3u);
    EXPECT_EQ(out[4], '\x55');
    // An explicit length converts no terminator.
    std::memset(out, 0x55, sizeof out);
    EXPECT_EQ(wideToBytes(0, 0, u"Hello", 2, out, int(sizeof out), nullptr, nullptr), 2);
    EXPECT_EQ(std::string(out, 3), "He\x55");
}

TEST_F(DefaultCodePage, SizeQueryMatchesTheConversion)
{
    // Two-, three- and four-byte characters, the last from a surrogate pair.
    EXPECT_EQ(toBytes(u"\u00E9\u20AC\U0001F600"),
        bytesOf({ 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0x00 }));
}

TEST_F(DefaultCodePage, TextLongerThanTheUsualBufferConvertsWhole)
{
    std::u16string line(300, u'x');
    line += u'\r';
    std::string bytes = toBytes(line);
    ASSERT_EQ(bytes.size(), 302u);
    EXPECT_EQ(bytes.substr(0, 300), std::string(300, 'x'));
    EXPECT_EQ(bytes.substr(300), std::string("\r\0", 2));
}

TEST_F(DefaultCodePage, TooSmallDestinationGivesZeroAndStaysInBounds)
{
    const char16_t* text = u"\u20AC\u20AC\u20AC"; // nine bytes and the terminator
    for (int size = 1; size < 10; ++size) {
        std::vector<char> out(std::size_t(size) + 4, '\x55');
        EXPECT_EQ(wideToBytes(0, 0, text, -1, out.data(), size, nullptr, nullptr), 0) << size;
        EXPECT_EQ(out[0], '\0') << "left as an empty text, so nothing half-converted is sent";
        for (std::size_t at = std::size_t(size); at < out.size(); ++at)
            EXPECT_EQ(out[at], '\x55') << "byte " << at << " written with room for " << size;
    }
    char exact[10];
    EXPECT_EQ(wideToBytes(0, 0, text, -1, exact, 10, nullptr, nullptr), 10);
}

TEST_F(DefaultCodePage, LoneSurrogatesBecomeQuestionMarksAndTheRestSurvives)
{
    const std::u16string text
        = { u'a', char16_t(0xD800), u'b', char16_t(0xDC00), u'c', char16_t(0xD83D) };
    EXPECT_EQ(toBytes(text), std::string("a?b?c?\0", 7));

    bool used = false;
    char out[16];
    std::u16string lone = { u'x', char16_t(0xDFFF), u'y' };
    int written = wideToBytes(0, 0, lone.c_str(), -1, out, int(sizeof out), "*", &used);
    EXPECT_EQ(std::string(out, std::size_t(written)), std::string("x*y\0", 4));
    EXPECT_TRUE(used);
    wideToBytes(0, 0, u"plain", -1, out, int(sizeof out), "*", &used);
    EXPECT_FALSE(used);
}

TEST_F(DefaultCodePage, UnknownCodePageConvertsNothing)
{
    char out[16];
    char16_t wide[16];
    EXPECT_EQ(wideToBytes(437, 0, u"a", -1, out, int(sizeof out), nullptr, nullptr), 0);
    EXPECT_EQ(byteToWide(437, 0, "a", 1, wide, int(std::size(wide))), 0);
}

// One row: bytes as they arrive, and the text they must give.
struct DecodeCase : CTableRow {
    std::string bytes;
    std::u16string expected;
};

class ByteDecoding : public DefaultCodePage, public ::testing::WithParamInterface<DecodeCase> { };

TEST_P(ByteDecoding, OneByteAtATime)
{
    EXPECT_EQ(feedOneByOne(GetParam().bytes).text, GetParam().expected);
}

TEST_P(ByteDecoding, AllAtOnceGivesTheSameText)
{
    const std::string& bytes = GetParam().bytes;
    std::vector<char16_t> out(bytes.size() * 2 + 2);
    int count = byteToWide(0, 0, bytes.data(), int(bytes.size()), out.data(), int(out.size()));
    EXPECT_EQ(std::u16string(out.data(), std::size_t(count)), GetParam().expected);
}

const std::u16string fffd(1, u'\uFFFD');

INSTANTIATE_TEST_SUITE_P(Utf8, ByteDecoding,
    ::testing::Values(DecodeCase { "Ascii", "Hi\r", u"Hi\r" },
        DecodeCase { "NulIsData", std::string("a\0b", 3), std::u16string(u"a\0b", 3) },
        DecodeCase { "TwoByte", bytesOf({ 0xC3, 0xA9 }), u"\u00E9" },
        DecodeCase { "ThreeByte", bytesOf({ 0xE2, 0x82, 0xAC }), u"\u20AC" },
        DecodeCase {
            "BeyondBmpIsASurrogatePair", bytesOf({ 0xF0, 0x9F, 0x98, 0x80 }), u"\U0001F600" },
        DecodeCase { "BrokenLeadThenAscii", bytesOf({ 0xE2, 0x41 }), fffd + u"A" },
        DecodeCase {
            "BrokenPairThenAsciiIsOneReplacement", bytesOf({ 0xE2, 0x82, 0x41 }), fffd + u"A" },
        DecodeCase { "BrokenLeadThenNewLead", bytesOf({ 0xE2, 0xC3, 0xA9 }), fffd + u"\u00E9" },
        DecodeCase { "BrokenByCarriageReturn", bytesOf({ 0xF0, 0x9F, 0x0D }), fffd + u"\r" },
        DecodeCase { "StrayContinuation", bytesOf({ 0x80, 0x41 }), fffd + u"A" },
        DecodeCase { "NeverValidBytes", bytesOf({ 0xC0, 0xFF, 0x41 }), fffd + fffd + u"A" },
        // The converter waits for a third and fourth byte before it finds these invalid;
        // the bytes it waited on give one U+FFFD and the last byte its own.
        DecodeCase { "EncodedSurrogate", bytesOf({ 0xED, 0xA0, 0x80 }), fffd + fffd },
        DecodeCase { "BeyondUnicode", bytesOf({ 0xF4, 0x90, 0x80, 0x80 }), fffd + fffd },
        DecodeCase { "WaitedOnBytesThenAscii", bytesOf({ 0xF4, 0x90, 0x80, 0x41 }), fffd + u"A" }),
    byWhat);

TEST_F(DefaultCodePage, CharacterComesOutFromTheCallThatCompletesIt)
{
    FedResult euro = feedOneByOne(bytesOf({ 0xE2, 0x82, 0xAC }));
    EXPECT_EQ(euro.counts, (std::vector<int> { 0, 0, 1 }));
    FedResult smile = feedOneByOne(bytesOf({ 0xF0, 0x9F, 0x98, 0x80 }));
    EXPECT_EQ(smile.counts, (std::vector<int> { 0, 0, 0, 2 }));
    FedResult broken = feedOneByOne(bytesOf({ 0xE2, 0x82, 0x41 }));
    EXPECT_EQ(broken.counts, (std::vector<int> { 0, 0, 2 }));
}

TEST_F(DefaultCodePage, UnfinishedCharacterWaitsAcrossSeparateReads)
{
    char16_t units[8];
    EXPECT_EQ(byteToWide(0, 0, "\xF0\x9F", 2, units, 8), 0);
    EXPECT_EQ(byteToWide(0, 0, "\x98", 1, units, 8), 0);
    ASSERT_EQ(byteToWide(0, 0, "\x80Z", 2, units, 8), 3);
    EXPECT_EQ(std::u16string(units, 3), u"\U0001F600Z");
    // A terminated source converts its NUL too.
    ASSERT_EQ(byteToWide(0, 0, "ok", -1, units, 8), 3);
    EXPECT_EQ(std::u16string(units, 3), std::u16string(u"ok\0", 3));
}

TEST_F(DefaultCodePage, EndingTheStreamShowsAnUnfinishedCharacterBeforeWhatFollows)
{
    feedOneByOne(bytesOf({ 0xE2, 0x82 }));
    endDecodingStreams();
    FedResult next = feedOneByOne(bytesOf({ 0xAC, 'A' }));
    EXPECT_EQ(next.text, u"\uFFFD\uFFFDA");
    EXPECT_EQ(next.counts, (std::vector<int> { 2, 1 }));
    // With nothing unfinished, ending the stream adds nothing.
    endDecodingStreams();
    EXPECT_EQ(feedOneByOne("B").text, u"B");
}

TEST_F(DefaultCodePage, CountingChangesNoState)
{
    feedOneByOne(bytesOf({ 0xE2, 0x82 }));
    EXPECT_EQ(byteToWide(0, 0, "\xAC", 1, nullptr, 0), 1);
    EXPECT_EQ(byteToWide(0, 0, "\xAC", 1, nullptr, 0), 1);
    EXPECT_EQ(feedOneByOne("\xAC").text, u"\u20AC");
}

TEST_F(DefaultCodePage, UnitsThatDoNotFitComeFirstNextTime)
{
    char16_t unit = 0;
    std::u16string seen;
    for (char byte : bytesOf({ 0xF0, 0x9F, 0x98, 0x80, 'A' })) {
        int count = byteToWide(0, 0, &byte, 1, &unit, 1);
        ASSERT_LE(count, 1);
        if (count == 1)
            seen += unit;
    }
    EXPECT_EQ(seen, u"\U0001F600");
    // The 'A' waits behind the low surrogate; a count of nothing more delivers it.
    EXPECT_EQ(byteToWide(0, 0, "", 0, &unit, 1), 1);
    EXPECT_EQ(unit, u'A');
}

TEST(LocaleCodeset, LocalesThatNameOnlyAsciiUseUtf8)
{
    std::string saved = std::setlocale(LC_CTYPE, nullptr);
    for (const char* name : { "C", "POSIX" }) {
        ASSERT_NE(std::setlocale(LC_CTYPE, name), nullptr);
        EXPECT_EQ(CTextCodec::localeCodeset(), "UTF-8") << name;
        // The shared codec follows the change and still converts beyond ASCII.
        char out[8];
        EXPECT_EQ(wideToBytes(0, 0, u"\u00E9", -1, out, 8, nullptr, nullptr), 3) << name;
    }
    std::setlocale(LC_CTYPE, saved.c_str());
}

const std::string nihon = bytesOf({ 0xC6, 0xFC, 0xCB, 0xDC });

TEST(CTextCodec, WritesEachEncodingsBytesAndSaysWhatItReplaced)
{
    EXPECT_FALSE(CTextCodec::open("NO-SUCH-ENCODING").has_value());
    struct Row {
        const char* encoding;
        std::u16string text;
        std::string bytes;
        bool replaced; // whether a character had no bytes of its own
    };
    for (const Row& row :
        std::initializer_list<Row> { { "ISO-8859-1", u"caf\u00E9", "caf\xE9", false },
            { "ISO-8859-1", u"a\u20ACb\u00FF", "a?b\xFF", true },
            { "WINDOWS-1252", u"\u20AC5", bytesOf({ 0x80, '5' }), false },
            { "EUC-JP", u"\u65E5\u672C", nihon, false },
            // The euro sign as an ASCII '?' between the kanji, the shift state switched
            // around it.
            { "ISO-2022-JP", u"\u65E5\u20AC\u672C", "\x1B$BF|\x1B(B?\x1B$BK\\\x1B(B", true } }) {
        SCOPED_TRACE(row.encoding);
        auto codec = CTextCodec::open(row.encoding);
        ASSERT_TRUE(codec);
        bool replaced = !row.replaced;
        EXPECT_EQ(codec->encode(row.text, {}, &replaced), row.bytes);
        EXPECT_EQ(replaced, row.replaced);
    }
}

TEST(CTextCodec, DecodesEachEncodingByteByByteAndOnceFinished)
{
    struct Row {
        const char* encoding;
        std::string bytes;
        std::u16string text;
        std::u16string tail = u""; // what finishing the text adds
        std::vector<std::size_t> counts = {}; // units from each byte; not checked when empty
    };
    for (const Row& row : std::initializer_list<Row> {
             { "ISO-8859-1", bytesOf({ 0x80, 0xE9, 0xFF }), u"\u0080\u00E9\u00FF" },
             { "WINDOWS-1252", bytesOf({ 0x80, 0x81, 0x41 }), u"\u20AC\uFFFDA" },
             { "EUC-JP", nihon + "A", u"\u65E5\u672CA", u"", { 0, 1, 0, 1, 1 } },
             // An ASCII byte where the second byte belongs is a break, not a character.
             { "EUC-JP", bytesOf({ 0xC6, 0x41 }), u"\uFFFDA" },
             // The escape sequences must not leak out as text.
             { "ISO-2022-JP", "\x1B$BF|\x1B(B?\x1B$BK\\\x1B(B", u"\u65E5?\u672C" },
             // CP1255 holds a Hebrew letter back in case a point follows it; ASCII must
             // not overtake it.
             { "CP1255", bytesOf({ 0xE0, 'a', 0xE0 }), u"\u05D0a", u"\u05D0" },
             // GB18030 takes 0x81 0x30 as the start of a four-byte character without
             // looking at the bytes after it, which were lost with it when the fourth
             // broke it.
             { "GB18030", bytesOf({ 0x81, 0x30, 'A', 'B', 0xFC, 0x36, '\r', 'x', 0x81, 0x30 }),
                 u"\uFFFD0AB\uFFFD6\rx", u"\uFFFD0" } }) {
        SCOPED_TRACE(row.encoding);
        auto codec = CTextCodec::open(row.encoding);
        ASSERT_TRUE(codec);
        std::u16string text;
        std::vector<std::size_t> counts;
        for (char byte : row.bytes) {
            std::size_t before = text.size();
            codec->decode(std::string_view(&byte, 1), text);
            counts.push_back(text.size() - before);
        }
        EXPECT_EQ(text, row.text);
        if (!row.counts.empty()) {
            EXPECT_EQ(counts, row.counts);
        }
        codec->finishDecoding(text);
        EXPECT_EQ(text, row.text + row.tail);
    }
}

TEST(CTextCodec, FinishingReplacesAnUnfinishedCharacter)
{
    auto codec = CTextCodec::open("UTF-8");
    ASSERT_TRUE(codec);
    std::u16string text;
    codec->decode(bytesOf({ 'x', 0xE2, 0x82 }), text);
    EXPECT_EQ(text, u"x") << "the unfinished character is kept";
    codec->finishDecoding(text);
    EXPECT_EQ(text, u"x\uFFFD");

    // It then starts afresh: a continuation byte on its own is not taken up.
    text.clear();
    codec->decode(bytesOf({ 0xAC }), text);
    EXPECT_EQ(text, u"\uFFFD");
}

std::u16string format(std::size_t size, const char16_t* pattern, int value)
{
    std::vector<char16_t> buffer(size + 1, u'#');
    int written = formatText(buffer.data(), size, pattern, value);
    EXPECT_EQ(buffer[size], u'#') << "wrote past the buffer";
    EXPECT_EQ(buffer[std::size_t(written)], u'\0');
    return std::u16string(buffer.data(), std::size_t(written));
}

TEST(FormatText, IntegerExtremes)
{
    EXPECT_EQ(format(32, u"%d", INT_MIN), u"-2147483648");
    EXPECT_EQ(format(32, u"%d", INT_MAX), u"2147483647");
    EXPECT_EQ(format(32, u"%d", 0), u"0");
    EXPECT_EQ(format(32, u"%d", -7), u"-7");
    char16_t buffer[16];
    formatText(buffer, std::size(buffer), u"%u", UINT_MAX);
    EXPECT_EQ(std::u16string(buffer), u"4294967295");
}

TEST(FormatText, OtherConversionsAreCopiedWithoutTakingAnArgument)
{
    EXPECT_EQ(format(32, u"%x%s %5d=%d%%", 42), u"%x%s %5d=42%");
    EXPECT_EQ(format(32, u"100%", 1), u"100%");
}

TEST(FormatText, PortNamesCutToFitAndAlwaysEnded)
{
    EXPECT_EQ(format(6, u"COM%d:", 1), u"COM1:");
    EXPECT_EQ(format(4, u"COM%d:", 1), u"COM");
    EXPECT_EQ(format(5, u"COM%d:", 1), u"COM1");
    EXPECT_EQ(format(1, u"COM%d:", 1), u"");
    // A number that does not fit is left out whole rather than shown as a smaller one.
    EXPECT_EQ(format(6, u"COM%d:", 123), u"COM");
    // A surrogate pair is never split.
    EXPECT_EQ(format(3, u"a\U0001F600", 0), u"a");

    char16_t untouched = u'#';
    EXPECT_EQ(formatText(&untouched, 0, u"x"), 0);
    EXPECT_EQ(untouched, u'#');
}

} // namespace
