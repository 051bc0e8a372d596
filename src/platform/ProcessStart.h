// Starting and ending the setup program.
//
// The panels' setup programs are Windows programs. Where the system does not run them
// itself (Linux) they are started through Wine; a native program or a script is started as
// it stands. Whatever it is, the setup program must not outlive the wizard, also when the
// wizard is killed or crashes.
//
// The rules (what a file is, which command runs it) are shared: ProcessStart.cpp. The
// platform part is one file per platform: ProcessStart_posix.cpp, ProcessStart_win.cpp.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QProcess;

namespace ProcessStart {

enum class FileKind { Native, Windows };

// What a file is, from its first bytes: a Windows executable carries the "MZ" signature and,
// at the offset in bytes 0x3C to 0x3F of that header (little-endian), the signature
// "PE\0\0". Anything else (an ELF program, a script, a DOS "MZ" file without a PE header,
// a file too short for either) is native.
FileKind KindOf(const QByteArray& head);
// The bytes of the file's start that KindOf looks at (at most HeadSize).
constexpr qsizetype HeadSize = 64 * 1024;
QByteArray ReadHead(const QString& path);

struct Command {
    QString program; // empty when the file cannot be started here; error then says why
    QStringList arguments;
    bool throughWine = false;
    QString error;
};

// How the copy at path is started: with no arguments as it stands, or where the system does
// not run Windows programs itself (runsWindows false), a Windows program through wine with
// the path as its only argument. wine: the path of wine, empty when it is not installed.
Command CommandFor(const QString& path, FileKind kind, bool runsWindows, const QString& wine);

// ---- platform part -----------------------------------------------------------------------

// Whether this system starts Windows programs itself.
bool RunsWindowsPrograms();
// wine on PATH; empty when it is not installed.
QString FindWine();
// Readies process, with its program and arguments set from command, for its start: it is
// ended when the wizard ends, however the wizard ends. Wine's diagnostics stay out of the
// terminal unless WINEDEBUG is set. Call it after the process's channels are chosen.
void Prepare(QProcess* process, const Command& command);
// Ends a started setup program. Never waits for it.
void End(QProcess* process);

} // namespace ProcessStart
