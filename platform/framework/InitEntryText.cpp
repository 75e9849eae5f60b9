#include "InitEntryText.h"

#include "TextCodec.h"

std::optional<std::u16string> initEntryString(const CInitEntry& entry)
{
    auto bytes = initEntryBytes(entry);
    if (!bytes)
        return std::nullopt;
    // A codec of its own: the shared one may be holding an unfinished character for
    // the receiver, which this must neither see nor disturb.
    auto codec = CTextCodec::forLocale();
    if (!codec)
        return std::nullopt;
    std::u16string text;
    codec->decode(*bytes, text);
    codec->finishDecoding(text);
    return text;
}
