#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

namespace quorell {

// The prefixes of history lines: this side's and the peer's.
inline const QString kOwnPrefix = QStringLiteral("自己[");
inline const QString kPeerPrefix = QStringLiteral("对方[");
// The peer's lines over the plain protocol while a session is open.
inline const QString kUnencryptedPeerPrefix = QStringLiteral("对方（未加密）[");

// The locale's short date, a space and its long time without a time zone; the date alone when
// the time of day is exactly midnight.
QString FormatTimeStamp(const QDateTime& when, const QLocale& locale = QLocale::system());

// prefix + time stamp + "]: " + text.
QString HistoryLine(const QString& prefix, const QString& text,
                    const QDateTime& when = QDateTime::currentDateTime(),
                    const QLocale& locale = QLocale::system());

}  // namespace quorell
