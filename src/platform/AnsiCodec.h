// The "ANSI code page" of the devices: Windows-1251, one character per byte.
//
// Panel answers, relayed data and commands are byte strings; they become text only
// for the traffic log and for comparisons with the program's own (Russian) texts.
// The devices speak Windows-1251 whatever the host's locale is, so the table is
// fixed here instead of asking the system or ICU.
#pragma once

#include <QByteArray>
#include <QString>

namespace AnsiCodec {

// One QChar per byte. 0x00-0x7F map to themselves (NUL stays U+0000).
// 0x98 has no character in Windows-1251; it becomes U+0098, the same as Windows'
// own conversion does, so every byte string survives toText() and fromText().
QString toText(const QByteArray& bytes);

// One byte per character (per code point for characters outside the BMP).
// A character the code page lacks becomes '?'.
QByteArray fromText(const QString& text);

} // namespace AnsiCodec
