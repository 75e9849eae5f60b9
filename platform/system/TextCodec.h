// Conversion between UTF-16 text and one byte encoding, over iconv.
//
// Encoding is stateless between calls: every text is converted from the initial
// shift state and left in it. Decoding keeps state between calls, so a character
// whose bytes arrive one read at a time comes out whole from the call that completes
// it. Neither direction ever drops data: a character the encoding cannot represent
// becomes '?' (or the caller's replacement), and a byte that can neither start nor
// continue a character becomes U+FFFD.
//
// A codec is used from one thread at a time; it owns its iconv descriptors and is
// move-only.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

class CTextCodec {
public:
    // Opens a codec for an iconv encoding name such as "UTF-8", "ISO-8859-1" or
    // "EUC-JP". Gives nothing when iconv does not know the encoding.
    static std::optional<CTextCodec> open(std::string_view codeset);

    // Opens a codec for the encoding of the current LC_CTYPE locale (see
    // localeCodeset()). Gives nothing only if iconv cannot convert UTF-8 either.
    static std::optional<CTextCodec> forLocale();

    // The encoding the current LC_CTYPE locale names. The C and POSIX locales name
    // plain ASCII, which would turn every other character into '?' on the way out and
    // U+FFFD on the way in; UTF-8 stands in for them, as it keeps ASCII unchanged.
    static std::string localeCodeset();

    // Converts `text` to this encoding; a surrogate pair is one character. A lone
    // surrogate or a character the encoding cannot represent is written as
    // `replacement` when one is given, else as the encoding's own '?'. `replaced`
    // (if given) tells whether that happened.
    std::string encode(std::u16string_view text, std::optional<std::string_view> replacement = {},
        bool* replaced = nullptr);

    // Decodes `bytes`, appending to `out` every character they complete. Bytes of an
    // unfinished character are kept for the next call. When a kept sequence is broken
    // by a byte that cannot continue it, its first byte and the bytes after it that
    // cannot start a character give one U+FFFD, and decoding starts again at the first
    // byte that can, so nothing that makes a character of its own is lost. Where ASCII
    // passes through unchanged, a control character (below 0x20) never continues a
    // character: it breaks a kept one and comes out at once. NUL is data: it gives
    // U+0000. Characters beyond the BMP give a surrogate pair.
    void decode(std::string_view bytes, std::u16string& out);

    // Like decode(), but writes into `destination`. Units that do not fit are kept and
    // written first by the next call, so a small destination delays text but never
    // loses it. Returns the number of units written.
    std::size_t decodeInto(std::string_view bytes, std::span<char16_t> destination);

    // The number of units decodeInto() would produce for `bytes` with unlimited room,
    // without changing the codec's state. Exact for every encoding without shift
    // states; for one with shift states (ISO-2022-JP, UTF-7) it assumes the initial
    // shift state.
    std::size_t countDecoded(std::string_view bytes);

    // Ends a decoded text: a kept unfinished character is broken as decode() breaks
    // one (U+FFFD, then any kept bytes that are characters of their own) and anything
    // the converter still holds is written out. The codec then starts afresh.
    void finishDecoding(std::u16string& out);

    // Ends the byte stream being decoded without a text to end: what finishDecoding()
    // would write (U+FFFD for a kept unfinished character) is held back and written
    // first by the next decode, before anything that follows. Bytes decoded after this
    // never join bytes decoded before it.
    void endStream();

private:
    struct IconvCloser {
        void operator()(void* descriptor) const;
    };
    using IconvHandle = std::unique_ptr<void, IconvCloser>;

    enum class Unfinished { wait, broken };

    CTextCodec() = default;

    void decodeWith(
        void* descriptor, std::string& kept, std::string_view bytes, std::u16string& out);
    void decodeStep(
        void* descriptor, std::string& kept, std::u16string& out, Unfinished unfinished);
    bool canStartCharacter(char byte);
    bool asciiIsUnchanged();

    IconvHandle encoder;
    IconvHandle decoder;
    IconvHandle scratchDecoder;
    IconvHandle probeDecoder; // looks at one byte on its own
    std::string pending; // bytes of an unfinished character, not yet given to the output
    std::u16string undelivered; // decoded units that did not fit the caller's destination
    bool asciiFastPath = false;
};
