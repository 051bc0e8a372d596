// The setup program's copy lives in a directory of this run that only this user can enter.
//
// On Windows each user's temporary directory is private already. On Linux /tmp is shared
// by every account: a file another account put there first cannot be replaced (the
// directory is sticky) and would be started as the technician. So the copy goes to a
// directory made for this run with mode 0700: under $XDG_RUNTIME_DIR when it is set (and
// is this user's alone), else a fresh one under the temporary directory.
//
// One implementation per platform: TempDir_posix.cpp, TempDir_win.cpp.
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

// Whether path is a file this run may start: a plain file (not a link) of this user's that
// no other account may change.
bool IsPrivateFile(const QString& path);

} // namespace TempDir
