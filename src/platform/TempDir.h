// The setup program's copy lives in a directory of this run that only this user can enter.
//
// On Windows each user's temporary directory is private already. On Linux /tmp is shared
// by every account: a file another account put there first cannot be replaced (the
// directory is sticky) and would be started as the technician. So the copy goes to a
// directory made for this run with mode 0700: under $XDG_RUNTIME_DIR when it is set (and
// is this user's alone), else a fresh one under the temporary directory.
//
// Which run directory is current, its reuse and its removal are shared (TempDir.cpp); the
// platform part is one file per platform: TempDir_posix.cpp, TempDir_win.cpp.
#pragma once

#include <QString>

namespace TempDir {

// This run's private directory, with a trailing separator. Made on the first call, and
// made anew when it has gone or is no longer this user's alone (a cleaner removed it, the
// temporary directory changed). Empty when it cannot be made: *where then names the
// directory it was to go under and *why the reason.
QString RunDir(QString* where, QString* why);

// Removes the run directory and what it holds; the next RunDir makes a new one. Also done
// when the program exits normally.
void RemoveRunDir();

// ---- platform part -----------------------------------------------------------------------

// Whether path is a file this run may start: a plain file (not a link) of this user's that
// no other account may change.
bool IsPrivateFile(const QString& path);
// The directory run directories are made under, with a trailing separator (the test's
// temporary directory when one is set); empty when there is none.
QString BaseDir();
// Makes a fresh run directory under base that only this user can enter: its path with a
// trailing separator, or empty with *why saying why not.
QString MakeRunDir(const QString& base, QString* why);
// Whether dir is still a run directory as MakeRunDir made it: a plain directory, this user's
// alone.
bool StillPrivate(const QString& dir);

} // namespace TempDir
