#include "ProcessCodecs.h"

#include <optional>
#include <string>

namespace {

// Rebuilt when the locale names another encoding than at the last call.
CTextCodec* localeCodec()
{
    static std::string codeset;
    static std::optional<CTextCodec> codec;
    std::string current = CTextCodec::localeCodeset();
    if (!codec || current != codeset) {
        codec = CTextCodec::open(current);
        if (!codec)
            codec = CTextCodec::open("UTF-8");
        codeset = current;
    }
    return codec ? &*codec : nullptr;
}

// The codec for code page 65001, made when first asked for.
std::optional<CTextCodec>& utf8Codec()
{
    static std::optional<CTextCodec> utf8 = CTextCodec::open("UTF-8");
    return utf8;
}

} // namespace

CTextCodec* codecFor(std::uint32_t codePage)
{
    if (codePage == defaultCodePage)
        return localeCodec();
    if (codePage == utf8CodePage) {
        std::optional<CTextCodec>& utf8 = utf8Codec();
        return utf8 ? &*utf8 : nullptr;
    }
    return nullptr;
}

void endDecodingStreams()
{
    if (CTextCodec* codec = localeCodec())
        codec->endStream();
    if (std::optional<CTextCodec>& utf8 = utf8Codec())
        utf8->endStream();
}
