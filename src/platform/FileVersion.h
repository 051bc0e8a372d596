// The version a program file carries, for the main window's caption.
//
// Windows: the "FileVersion" text of the file's version resource (FileVersion_win.cpp;
// kestrom.exe has one, made from the project version). POSIX files carry none, so the
// project version compiled into the program stands in (FileVersion_posix.cpp).
#pragma once

#include <QString>

// Empty when the file has no version to give.
QString GetFileVersionString(const QString& fileName);
