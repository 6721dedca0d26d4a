#include "app/history.h"

namespace quorell {

namespace {

QString LongTimeFormatWithoutZone(const QLocale& locale) {
    QString format = locale.timeFormat(QLocale::LongFormat);
    // The zone ('t', outside quotes) is not part of a history time stamp.
    QString out;
    bool quoted = false;
    for (QChar c : format) {
        if (c == QLatin1Char('\'')) quoted = !quoted;
        if (!quoted && c == QLatin1Char('t')) continue;
        out.append(c);
    }
    return out.simplified();
}

}  // namespace

QString FormatTimeStamp(const QDateTime& when, const QLocale& locale) {
    const QString date = locale.toString(when.date(), locale.dateFormat(QLocale::ShortFormat));
    const QTime time = when.time();
    if (time.hour() == 0 && time.minute() == 0 && time.second() == 0 && time.msec() == 0) {
        return date;
    }
    return date + QLatin1Char(' ') + locale.toString(time, LongTimeFormatWithoutZone(locale));
}

QString HistoryLine(const QString& prefix, const QString& text, const QDateTime& when,
                    const QLocale& locale) {
    return prefix + FormatTimeStamp(when, locale) + QStringLiteral("]: ") + text;
}

}  // namespace quorell
