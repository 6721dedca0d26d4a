#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "common/gbk.h"

namespace quorell {

// The one crossing between wire text (GBK bytes) and widget text (QString).
inline std::string ToGbk(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return Utf8ToGbk(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

inline QString FromGbk(std::string_view gbk) {
    const std::string utf8 = GbkToUtf8(gbk);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

// Plain text boxes keep line breaks as LF; the program's texts carry them as CR LF.
inline QString ToCrLf(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return text;
}

// Only CR LF is a line break; a lone CR would break the line in a text box, so it shows as a
// space.
inline QString FromCrLf(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text;
}

}  // namespace quorell
