#include "log/LogFormat.h"

namespace LogFormat {

QString guiLine(const QString& stamp, const QString& tag, const QString& text) {
    return stamp + QStringLiteral(": ") + tag + QLatin1Char(' ') + text;
}

QString threadLine(const QString& stamp, const QString& tag, const QString& text) {
    return stamp + QLatin1Char(':') + tag + QLatin1Char(' ') + text;
}

QStringList splitLines(const QString& text) {
    // Whether the text is split is decided on all of it, a CR behind a NUL included; only
    // then does the NUL end what is shown.
    const bool split = text.contains(QLatin1Char('\r'));
    QString t = text;
    const qsizetype nul = t.indexOf(QChar(0));
    if (nul >= 0)
        t.truncate(nul);
    if (!split)
        return {t};
    QStringList lines;
    QString current;
    for (qsizetype i = 0; i < t.size(); ++i) {
        const QChar c = t.at(i);
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            lines << current;
            current.clear();
            if (c == QLatin1Char('\r') && i + 1 < t.size() && t.at(i + 1) == QLatin1Char('\n'))
                ++i;
        } else {
            current += c;
        }
    }
    if (!current.isEmpty())
        lines << current;
    return lines;
}

QStringList hexDumpLines(const QByteArray& data, int count) {
    static const char digits[] = "0123456789ABCDEF";
    QStringList lines;
    QString line;
    int counter = 0;
    const int n = qBound(0, count, int(data.size()));
    for (int i = 0; i < n; ++i) {
        if (++counter == 16) {
            lines << line;
            line.clear();
            counter = 1;
        }
        const auto b = quint8(data.at(i));
        line += QLatin1Char(' ');
        line += QLatin1Char(digits[b >> 4]);
        line += QLatin1Char(digits[b & 15]);
    }
    lines << line;
    return lines;
}

} // namespace LogFormat
