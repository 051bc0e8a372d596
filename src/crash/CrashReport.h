// The crash reports on disk: where they go, which are kept, which one the user has not seen,
// and what a report must never show (the master code).
#pragma once

#include <QString>
#include <QStringList>

namespace CrashReport {

// At most this many reports are kept; the oldest go first.
inline constexpr int Kept = 20;

// This user's private directory for reports: $XDG_STATE_HOME/kestrom/crashes, else
// ~/.local/state/kestrom/crashes; on Windows %LOCALAPPDATA%\Norvak\Kestrom\crashes.
QString Directory();
// Makes dir (0700, this user's alone); false, with why, when it cannot be had.
bool PrepareDirectory(const QString& dir, QString* why = nullptr);

// "crash-20261210-185006-4242.txt": the UTC time of the crash and the process id, so that
// names sort by age.
bool IsReportName(const QString& name);
// The reports in dir, oldest first.
QStringList Reports(const QString& dir);
// Of names (oldest first), those to remove so that room for one more stays within Kept.
QStringList Surplus(const QStringList& names);
// Removes them from dir.
void Prune(const QString& dir);

// The newest report the user has not been shown yet; empty when there is none. A report is
// shown once: MarkSeen records it, and every report up to it counts as seen.
QString Unseen(const QString& dir);
void MarkSeen(const QString& dir, const QString& name);

// line with every appearance of code masked with '*': as text and in a hex dump's spelling
// (" 31 32 33 34"). Empty code: line as it is.
QString MaskSecret(const QString& line, const QString& code);

// The connection's state in one line: channel (the channel box's item: 0 modem V.32,
// 1 modem V.110, 2 cable, 3 IP), link (idle, connecting, connected, redial), the port or
// address, and whether a setup program runs. Never the master code or a phone number.
QString StateLine(int channel, int link, const QString& where, bool setupRunning);

// The box shown at the next start, in the interface's language.
QString BoxText(const QString& reportPath);

} // namespace CrashReport
