// Pure rules of the traffic log: line layout, line splitting and the hex dump.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace LogFormat {

constexpr int MaxLines = 2000; // more than this and the next AddLog clears the list

// GUI-thread line: "%s: %s %s" (stamp, tag, text).
QString guiLine(const QString& stamp, const QString& tag, const QString& text);
// Worker-thread line: "%s:%s %s" (stamp, tag, text).
QString threadLine(const QString& stamp, const QString& tag, const QString& text);

// The lines a text is logged as. Without a CR anywhere in it the text is one line (a lone
// LF stays inside it); with a CR, lines end at CR LF, CR or LF, an empty line between two
// breaks is kept and a break at the very end adds no empty line. Either way a NUL ends the
// text: "A\nB\0\rC" gives "A" and "B", and "\0\r..." no line at all.
QStringList splitLines(const QString& text);

// Hex dump texts of the first count bytes: 15 bytes a line, each " XX" in upper case;
// always at least one (possibly empty) line.
QStringList hexDumpLines(const QByteArray& data, int count);

} // namespace LogFormat
