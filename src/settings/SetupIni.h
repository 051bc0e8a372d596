// setup.ini, the file beside the program that names a setup program per kind of
// device and carries the flags of the device dialogue, and the device key that is
// looked up in it.
//
// The file has no sections: a line "KEY=value" is found by its key wherever it
// stands; a bracketed line is just a line without a key. It is installed with the
// program and edited by hand, so it may be saved in any of the editors' encodings.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace SetupIni {

// The file read whole into lines. A UTF-8, UTF-16 LE or UTF-16 BE byte-order mark
// selects that encoding; without one the text is UTF-8 when the bytes are valid
// UTF-8, else Windows-1251. Lines end at CR LF, LF or CR; a line break at the very
// end adds no empty line.
QStringList decodeLines(const QByteArray& fileBytes);

// The value of the first line that holds '=' and whose text before its first '='
// equals `key` ignoring letter case (no trimming on either side). The value is the
// rest of the line, untrimmed. No such line: empty.
QString valueOf(const QStringList& lines, const QString& key);

// An integer value: leading spaces, an optional sign, then decimal digits, or hex
// digits after '$', "0x" or "0X". Anything else, a trailing space included, an empty
// value, or a number beyond 32 bits reads as 0. Hex takes the full 32-bit pattern
// ("$FFFFFFFF" is -1).
int toInt(const QString& value);

// A flag switches a behaviour on only when it reads as exactly 1.
inline bool flagOn(const QString& value) {
    return toInt(value) == 1;
}

// Key of an old-style version answer: the text before the first '.', with every CR
// and LF removed. Empty when the answer has no '.'.
QString deviceKeyOld(const QString& verInfoText);

// Key of a standard version answer (+VER_INFO=1,"ABC.02.07",...): quotes removed,
// the text after the first comma, leading control characters and blanks skipped, the
// field up to the next comma or blank, and of that the part before its first '.'.
// Empty when no field is left or the field has no '.'.
QString deviceKeyStandard(const QString& verInfoText);

// The file's lines. A missing file, a directory or an unreadable file gives no lines,
// false in *fileRead and a reason in *error (for the traffic log).
QStringList readFile(const QString& iniPath, bool* fileRead = nullptr, QString* error = nullptr);

// The flags the device dialogue and the modem use. A missing or unreadable file
// leaves every flag off and proto 0, with fileRead false and the reason in error.
struct SetupFlags {
    bool oldConnect = false; // "OLDCONNECT": old-style dialogue and old-style key
    bool sp = false;         // "SP": send the stop-panel command
    bool rb = false;         // "RB": send "+rb\r" when a serial connection ends
    int proto = 0;           // "PROTO": 0 V.32, 1 V.110
    bool fileRead = false;
    QString error;
};
SetupFlags readFlags(const QString& iniPath);

// The setup program's file name for a device key (empty when the key has no entry).
// *fileFound tells whether the file could be read at all.
QString programFor(const QString& iniPath, const QString& deviceKey, bool* fileFound = nullptr);

} // namespace SetupIni
