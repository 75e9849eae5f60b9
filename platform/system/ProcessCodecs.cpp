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
    std::optional<CTextCodec> utf8;
    bool utf8Tried = false; // made when first asked for
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
    std::string current = CTextCodec::localeCodeset();
    if (!all.locale || current != all.localeCodeset) {
        all.locale = CTextCodec::open(current);
        if (!all.locale)
            all.locale = CTextCodec::open("UTF-8");
        all.localeCodeset = current;
    }
    return all.locale ? &*all.locale : nullptr;
}

CTextCodec* utf8Codec()
{
    CProcessCodecs& all = codecs();
    if (!all.utf8Tried) {
        all.utf8 = CTextCodec::open("UTF-8");
        all.utf8Tried = true;
    }
    return all.utf8 ? &*all.utf8 : nullptr;
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
