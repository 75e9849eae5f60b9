// Conversions between the programs' UTF-16 strings and Qt's. Both are UTF-16, so these
// copy units unchanged; nothing is normalised or dropped.
#pragma once

#include "WideString.h"

#include <QString>

inline QString toQString(std::u16string_view text)
{
    return QString(reinterpret_cast<const QChar*>(text.data()), qsizetype(text.size()));
}

inline QString toQString(const CWideString& text)
{
    QString out;
    out.reserve(qsizetype(text.length()));
    text.forEachPiece(
        0, text.length(), [&out](std::u16string_view piece) { out.append(toQString(piece)); });
    return out;
}

inline CWideString fromQString(const QString& text)
{
    return CWideString(std::u16string_view(
        reinterpret_cast<const char16_t*>(text.utf16()), std::size_t(text.size())));
}
