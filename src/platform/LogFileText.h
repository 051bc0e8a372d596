// How a saved traffic log's text is written: in the system's ANSI code page on Windows, as
// every other program there reads a plain text file (LogFileText_win.cpp); UTF-8 on POSIX,
// where that is the system's text (LogFileText_posix.cpp).
#pragma once

#include <QByteArray>
#include <QString>

QByteArray LogFileText(const QString& text);
