#include "settings/SetupIni.h"

#include "platform/AnsiCodec.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

namespace {

bool isContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. A file
// saved as Windows-1251 almost never passes (a Cyrillic letter is a lead byte
// followed by another letter, not by a continuation byte), so this decides the encoding.
bool isValidUtf8(const QByteArray& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        int tail = 0;
        unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            tail = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            tail = 2;
            if (b == 0xE0)
                lo = 0xA0;
            else if (b == 0xED)
                hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            tail = 3;
            if (b == 0xF0)
                lo = 0x90;
            else if (b == 0xF4)
                hi = 0x8F;
        } else {
            return false;
        }
        if (n - i <= tail)
            return false;
        if (p[i + 1] < lo || p[i + 1] > hi)
            return false;
        for (int k = 2; k <= tail; ++k) {
            if (!isContinuation(p[i + k]))
                return false;
        }
        i += tail + 1;
    }
    return true;
}

QString fromUtf16(const QByteArray& bytes, qsizetype start, bool bigEndian) {
    const qsizetype count = (bytes.size() - start) / 2; // an odd last byte is dropped
    QString text(count, Qt::Uninitialized);
    const char* src = bytes.constData() + start;
    QChar* out = text.data();
    for (qsizetype i = 0; i < count; ++i) {
        const char16_t unit =
            bigEndian ? qFromBigEndian<quint16>(src + 2 * i) : qFromLittleEndian<quint16>(src + 2 * i);
        out[i] = QChar(unit);
    }
    return text;
}

QString decodeText(const QByteArray& bytes) {
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(bytes.constData() + 3, bytes.size() - 3);
    if (bytes.startsWith("\xFF\xFE"))
        return fromUtf16(bytes, 2, false);
    if (bytes.startsWith("\xFE\xFF"))
        return fromUtf16(bytes, 2, true);
    if (isValidUtf8(bytes))
        return QString::fromUtf8(bytes);
    return AnsiCodec::toText(bytes);
}

bool isBlankOrControl(QChar c) {
    return c.unicode() >= 1 && c.unicode() <= 32;
}

} // namespace

namespace SetupIni {

QStringList decodeLines(const QByteArray& fileBytes) {
    const QString text = decodeText(fileBytes);
    QStringList lines;
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar c = text[i];
        if (c != u'\r' && c != u'\n') {
            ++i;
            continue;
        }
        lines.append(text.mid(start, i - start));
        ++i;
        if (c == u'\r' && i < text.size() && text[i] == u'\n')
            ++i;
        start = i;
    }
    if (start < text.size())
        lines.append(text.mid(start));
    return lines;
}

QString valueOf(const QStringList& lines, const QString& key) {
    for (const QString& line : lines) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            continue;
        if (QStringView(line).left(eq).compare(key, Qt::CaseInsensitive) == 0)
            return line.mid(eq + 1);
    }
    return {};
}

int toInt(const QString& value) {
    const qsizetype n = value.size();
    qsizetype i = 0;
    while (i < n && value[i] == u' ')
        ++i;
    bool negative = false;
    if (i < n && (value[i] == u'+' || value[i] == u'-')) {
        negative = value[i] == u'-';
        ++i;
    }
    bool hex = false;
    if (i < n && value[i] == u'$') {
        hex = true;
        ++i;
    } else if (i + 1 < n && value[i] == u'0' && (value[i + 1] == u'x' || value[i + 1] == u'X')) {
        hex = true;
        i += 2;
    }
    if (i >= n)
        return 0; // no digits at all

    quint64 magnitude = 0;
    const quint64 limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    for (; i < n; ++i) {
        const char16_t c = value[i].unicode();
        int digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (hex && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (hex && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            return 0;
        magnitude = magnitude * (hex ? 16 : 10) + quint64(digit);
        if (magnitude > limit)
            return 0;
    }
    // Unsigned arithmetic: "-2147483648" and the hex bit patterns wrap as intended.
    const quint32 bits = negative ? quint32(0u - quint32(magnitude)) : quint32(magnitude);
    return qint32(bits);
}

QString deviceKeyOld(const QString& verInfoText) {
    const qsizetype dot = verInfoText.indexOf(u'.');
    if (dot < 0)
        return {};
    QString key = verInfoText.left(dot);
    key.remove(u'\r');
    key.remove(u'\n');
    return key;
}

QString deviceKeyStandard(const QString& verInfoText) {
    QString text = verInfoText;
    text.remove(u'"');
    const qsizetype comma = text.indexOf(u',');
    qsizetype i = comma < 0 ? 0 : comma + 1;
    while (i < text.size() && isBlankOrControl(text[i]))
        ++i;
    qsizetype end = i;
    while (end < text.size() && text[end] != u',' && !isBlankOrControl(text[end]))
        ++end;
    const QStringView field = QStringView(text).mid(i, end - i);
    const qsizetype dot = field.indexOf(u'.');
    if (dot < 0)
        return {};
    return field.left(dot).toString();
}

QStringList readFile(const QString& iniPath, bool* fileRead, QString* error) {
    if (fileRead)
        *fileRead = false;
    const QFileInfo info(iniPath);
    if (!info.exists() || !info.isFile()) {
        if (error)
            *error = QStringLiteral("Не найден файл настроек %1").arg(iniPath);
        return {};
    }
    QFile file(iniPath);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error =
                QStringLiteral("Не удалось прочитать файл настроек %1: %2").arg(iniPath, file.errorString());
        return {};
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error =
                QStringLiteral("Не удалось прочитать файл настроек %1: %2").arg(iniPath, file.errorString());
        return {};
    }
    if (fileRead)
        *fileRead = true;
    if (error)
        error->clear();
    return decodeLines(bytes);
}

SetupFlags readFlags(const QString& iniPath) {
    SetupFlags flags;
    const QStringList lines = readFile(iniPath, &flags.fileRead, &flags.error);
    if (!flags.fileRead)
        return flags;
    flags.oldConnect = flagOn(valueOf(lines, QStringLiteral("OLDCONNECT")));
    flags.sp = flagOn(valueOf(lines, QStringLiteral("SP")));
    flags.rb = flagOn(valueOf(lines, QStringLiteral("RB")));
    flags.proto = toInt(valueOf(lines, QStringLiteral("PROTO")));
    return flags;
}

QString programFor(const QString& iniPath, const QString& deviceKey, bool* fileFound) {
    bool read = false;
    const QStringList lines = readFile(iniPath, &read);
    if (fileFound)
        *fileFound = read;
    return read ? valueOf(lines, deviceKey) : QString();
}

} // namespace SetupIni
