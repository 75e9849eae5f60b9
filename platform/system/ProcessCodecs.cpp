#include "ProcessCodecs.h"

#include <optional>
#include <string>

namespace {

constexpr std::uint32_t defaultCodePage = 0;
constexpr std::uint32_t utf8CodePage = 65001;

// Every codec of the process, with the unfinished character each may be keeping. Never
// destroyed: a port closed when the program ends still ends their streams, whatever
// the order in which static objects go.
struct CProcessCodecs {
    std::string localeCodeset; // the encoding `locale` was made for
    std::optional<CTextCodec> locale;
    std::optional<CTextCodec> utf8 = CTextCodec::open("UTF-8");
};

CProcessCodecs& codecs()
{
    static CProcessCodecs* all = new CProcessCodecs;
    return *all;
}

// Rebuilt when the locale names another encoding than at the last call.
CTextCodec* localeCodec()
{
    CProcessCodecs& all = codecs();
    if (std::string current = CTextCodec::localeCodeset();
        !all.locale || current != all.localeCodeset) {
        all.locale = CTextCodec::forLocale();
        all.localeCodeset = current;
    }
    return all.locale ? &*all.locale : nullptr;
}

CTextCodec* utf8Codec()
{
    std::optional<CTextCodec>& utf8 = codecs().utf8;
    return utf8 ? &*utf8 : nullptr;
}

} // namespace

CTextCodec* codecFor(std::uint32_t codePage)
{
    if (codePage == defaultCodePage)
        return localeCodec();
    if (codePage == utf8CodePage)
        return utf8Codec();
    return nullptr;
}

void endDecodingStreams()
{
    if (CTextCodec* codec = localeCodec())
        codec->endStream();
    if (CTextCodec* codec = utf8Codec())
        codec->endStream();
}
