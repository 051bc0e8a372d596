#include "platform/AnsiCodec.h"

#include <array>

namespace {

// Bytes 0x80-0xBF. 0xC0-0xFF are the contiguous Cyrillic block U+0410-U+044F.
constexpr std::array<char16_t, 64> kHighTable = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, // 0x80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F, // 0x88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 0x90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, // 0x98 (0x98 undefined)
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, // 0xA0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, // 0xA8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, // 0xB0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, // 0xB8
};

constexpr char16_t kCyrillicFirst = 0x0410; // А, byte 0xC0
constexpr char16_t kCyrillicLast = 0x044F;  // я, byte 0xFF

char16_t byteToUnicode(unsigned char b) {
    if (b < 0x80)
        return b;
    if (b < 0xC0)
        return kHighTable[b - 0x80];
    return char16_t(kCyrillicFirst + (b - 0xC0));
}

char unicodeToByte(char16_t c) {
    if (c < 0x80)
        return char(c);
    if (c >= kCyrillicFirst && c <= kCyrillicLast)
        return char(0xC0 + (c - kCyrillicFirst));
    for (std::size_t i = 0; i < kHighTable.size(); ++i) {
        if (kHighTable[i] == c)
            return char(0x80 + i);
    }
    return '?';
}

} // namespace

namespace AnsiCodec {

QString toText(const QByteArray& bytes) {
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        out[i] = QChar(byteToUnicode(static_cast<unsigned char>(bytes[i])));
    return text;
}

QByteArray fromText(const QString& text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            // One character outside the BMP: one replacement byte, not two.
            bytes.append('?');
            ++i;
            continue;
        }
        bytes.append(c.isSurrogate() ? '?' : unicodeToByte(c.unicode()));
    }
    return bytes;
}

} // namespace AnsiCodec
