#include "TextCodec.h"

#include "WideString.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <utility>

namespace {

constexpr char16_t replacementCharacter = u'\uFFFD';

// The wide side of every conversion. Spelling out the byte order keeps iconv from
// expecting or writing a byte-order mark, and the bytes are assembled by hand below so
// the host's own byte order does not matter.
constexpr const char* wideCodeset = "UTF-32LE";

// No encoding a locale can name needs this many bytes for one character; a longer run
// of bytes that still do not make a character is treated as invalid, so a confused
// converter cannot make the kept bytes grow without end.
constexpr std::size_t maxPendingBytes = 16;

iconv_t asIconv(void* descriptor)
{
    return static_cast<iconv_t>(descriptor);
}

// Runs iconv until it has taken all the input it can, collecting the output in `out`.
// With `in` null it writes what the converter holds and returns it to the initial
// state. Returns 0, or the errno of the failure that stopped it (never E2BIG).
int convert(void* descriptor, char** in, std::size_t* inLeft, std::string& out)
{
    char buffer[256];
    for (;;) {
        char* next = buffer;
        std::size_t room = sizeof buffer;
        std::size_t result = ::iconv(asIconv(descriptor), in, inLeft, &next, &room);
        int error = result == static_cast<std::size_t>(-1) ? errno : 0;
        out.append(buffer, static_cast<std::size_t>(next - buffer));
        if (error != E2BIG)
            return error;
    }
}

void resetState(void* descriptor)
{
    ::iconv(asIconv(descriptor), nullptr, nullptr, nullptr, nullptr);
}

void appendUtf32(std::string& out, char32_t codePoint)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>((codePoint >> shift) & 0xFF));
}

// Turns iconv's UTF-32LE output into UTF-16 units.
void appendAsUtf16(std::string_view utf32, std::u16string& out)
{
    for (std::size_t at = 0; at + 4 <= utf32.size(); at += 4) {
        auto byte
            = [&](std::size_t i) { return char32_t(static_cast<unsigned char>(utf32[at + i])); };
        char32_t codePoint = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
        if (codePoint < 0x10000) {
            bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
            out.push_back(surrogate ? replacementCharacter : char16_t(codePoint));
        } else if (codePoint <= 0x10FFFF) {
            codePoint -= 0x10000;
            out.push_back(char16_t(0xD800 + (codePoint >> 10)));
            out.push_back(char16_t(0xDC00 + (codePoint & 0x3FF)));
        } else {
            out.push_back(replacementCharacter);
        }
    }
}

} // namespace

void CTextCodec::IconvCloser::operator()(void* descriptor) const
{
    ::iconv_close(asIconv(descriptor));
}

std::optional<CTextCodec> CTextCodec::open(std::string_view codeset)
{
    CTextCodec codec;
    const std::string named(codeset);
    auto openOne = [](const char* to, const char* from) {
        iconv_t descriptor = ::iconv_open(to, from);
        return IconvHandle(descriptor == reinterpret_cast<iconv_t>(-1) ? nullptr : descriptor);
    };
    codec.encoder = openOne(named.c_str(), wideCodeset);
    codec.decoder = openOne(wideCodeset, named.c_str());
    codec.scratchDecoder = openOne(wideCodeset, named.c_str());
    codec.probeDecoder = openOne(wideCodeset, named.c_str());
    if (!codec.encoder || !codec.decoder || !codec.scratchDecoder || !codec.probeDecoder)
        return std::nullopt;
    codec.asciiFastPath = codec.asciiIsUnchanged();
    return codec;
}

std::optional<CTextCodec> CTextCodec::forLocale()
{
    if (auto codec = open(localeCodeset()))
        return codec;
    return open("UTF-8");
}

std::string CTextCodec::localeCodeset()
{
    const char* codeset = ::nl_langinfo(CODESET);
    if (!codeset || !*codeset || std::strcmp(codeset, "ANSI_X3.4-1968") == 0
        || std::strcmp(codeset, "ASCII") == 0)
        return "UTF-8";
    return codeset;
}

// Decoding bytes one at a time through iconv is only needed while a character is
// unfinished or when an ASCII byte can mean something else. The fast path is safe when
// every ASCII byte on its own decodes at once to the same code point (which rules out
// shift encodings such as ISO-2022-JP and UTF-7, whose ESC or '+' starts a sequence)
// and no byte is held back by the converter to be combined with the next one (as
// CP1255 and CP1258 do), since an ASCII byte passed straight through would then
// overtake the held character.
bool CTextCodec::asciiIsUnchanged()
{
    for (unsigned value = 0; value < 0x100; ++value) {
        resetState(scratchDecoder.get());
        char byte = static_cast<char>(value);
        char* in = &byte;
        std::size_t inLeft = 1;
        std::string out;
        int error = convert(scratchDecoder.get(), &in, &inLeft, out);
        if (value < 0x80) {
            std::string expected;
            appendUtf32(expected, value);
            if (error != 0 || out != expected)
                return false;
        } else if (error == 0 && out.empty()) {
            return false;
        }
    }
    resetState(scratchDecoder.get());
    return true;
}

std::string CTextCodec::encode(
    std::u16string_view text, std::optional<std::string_view> replacement, bool* replaced)
{
    void* descriptor = encoder.get();
    resetState(descriptor);
    std::string out;
    bool anyReplaced = false;

    auto putReplacement = [&] {
        anyReplaced = true;
        if (replacement) {
            // The caller's replacement is already in this encoding, so it is written
            // from the initial shift state.
            convert(descriptor, nullptr, nullptr, out);
            out.append(*replacement);
            return;
        }
        std::string question;
        appendUtf32(question, U'?');
        char* in = question.data();
        std::size_t inLeft = question.size();
        if (convert(descriptor, &in, &inLeft, out) != 0)
            out.push_back('?');
    };

    // Characters collect in `run` and go to iconv together; a character iconv cannot
    // convert is skipped and replaced, and the rest of the run carries on.
    std::string run;
    auto convertRun = [&] {
        char* in = run.data();
        std::size_t inLeft = run.size();
        while (inLeft > 0) {
            int error = convert(descriptor, &in, &inLeft, out);
            if (error == 0)
                break;
            std::size_t skip = std::min<std::size_t>(4, inLeft);
            in += skip;
            inLeft -= skip;
            putReplacement();
        }
        run.clear();
    };

    for (std::size_t at = 0; at < text.size(); ++at) {
        char16_t unit = text[at];
        if (isHighSurrogate(unit) && at + 1 < text.size() && isLowSurrogate(text[at + 1])) {
            char32_t codePoint
                = 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(text[at + 1]) - 0xDC00);
            appendUtf32(run, codePoint);
            ++at;
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            convertRun();
            putReplacement();
        } else {
            appendUtf32(run, unit);
        }
    }
    convertRun();
    // Ends the text in the initial shift state, so it can be sent on its own.
    convert(descriptor, nullptr, nullptr, out);

    if (replaced)
        *replaced = anyReplaced;
    return out;
}

// Whether `byte` on its own, from the initial state, starts a character (or is one).
bool CTextCodec::canStartCharacter(char byte)
{
    resetState(probeDecoder.get());
    char* in = &byte;
    std::size_t inLeft = 1;
    std::string out;
    return convert(probeDecoder.get(), &in, &inLeft, out) != EILSEQ;
}

// Decodes the kept bytes, the last of which has just been added. With
// Unfinished::broken, bytes that still make no whole character are broken off too.
void CTextCodec::decodeStep(
    void* descriptor, std::string& kept, std::u16string& out, Unfinished unfinished)
{
    while (!kept.empty()) {
        char* in = kept.data();
        std::size_t inLeft = kept.size();
        std::string produced;
        int error = convert(descriptor, &in, &inLeft, produced);
        appendAsUtf16(produced, out);
        kept.erase(0, kept.size() - inLeft);
        if (error == 0)
            return;
        if (error == EINVAL && unfinished == Unfinished::wait) {
            // An unfinished character: wait for more bytes.
            if (kept.size() > maxPendingBytes) {
                out.push_back(replacementCharacter);
                kept.clear();
            }
            return;
        }
        // The bytes left cannot be decoded. Some converters take a byte as part of a
        // character before they look at it (GB18030 waits for four bytes), so the
        // kept bytes after the first may still be characters of their own: only those
        // that cannot start one go with the first into its U+FFFD. A byte that broke
        // the sequence (the last, unless the sequence is merely unfinished) is always
        // decoded afresh.
        out.push_back(replacementCharacter);
        std::size_t taken = error == EINVAL ? kept.size() : kept.size() - 1;
        std::size_t skip = 1;
        while (skip < taken && !canStartCharacter(kept[skip]))
            ++skip;
        kept.erase(0, skip);
    }
}

void CTextCodec::decodeWith(
    void* descriptor, std::string& kept, std::string_view bytes, std::u16string& out)
{
    for (char byte : bytes) {
        auto value = static_cast<unsigned char>(byte);
        // No multi-byte character of an encoding that keeps ASCII continues with a
        // control character, so one always comes out in the call that brings it; a
        // line break is never held inside a broken character.
        if (asciiFastPath && value < 0x80 && (kept.empty() || value < 0x20)) {
            decodeStep(descriptor, kept, out, Unfinished::broken);
            out.push_back(char16_t(value));
            continue;
        }
        kept.push_back(byte);
        decodeStep(descriptor, kept, out, Unfinished::wait);
    }
}

void CTextCodec::decode(std::string_view bytes, std::u16string& out)
{
    out.append(std::exchange(undelivered, {}));
    decodeWith(decoder.get(), pending, bytes, out);
}

std::size_t CTextCodec::decodeInto(std::string_view bytes, std::span<char16_t> destination)
{
    std::u16string produced;
    decode(bytes, produced);
    std::size_t count = std::min(produced.size(), destination.size());
    std::copy_n(produced.begin(), count, destination.begin());
    undelivered.assign(produced, count);
    return count;
}

std::size_t CTextCodec::countDecoded(std::string_view bytes)
{
    resetState(scratchDecoder.get());
    std::string scratchPending = pending;
    std::u16string produced;
    decodeWith(scratchDecoder.get(), scratchPending, bytes, produced);
    return undelivered.size() + produced.size();
}

void CTextCodec::finishDecoding(std::u16string& out)
{
    out.append(std::exchange(undelivered, {}));
    decodeStep(decoder.get(), pending, out, Unfinished::broken);
    std::string produced;
    convert(decoder.get(), nullptr, nullptr, produced);
    appendAsUtf16(produced, out);
    resetState(decoder.get());
}

void CTextCodec::endStream()
{
    std::u16string ended;
    finishDecoding(ended);
    undelivered = std::move(ended);
}
