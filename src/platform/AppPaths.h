// Where the program finds its own files and the user's temporary directory. Part of the
// platform seams (Platform.h) that needs no window system: the rules and channels use it.
#pragma once

#include <QString>

namespace Platform {

// Directory of our own executable (setup.ini and the setup programs live there).
QString AppDir();
void SetAppDirForTest(const QString& dir);

// The user's temporary directory with a trailing separator; empty when there is none.
QString TempPath();
void SetTempPathForTest(const QString& dir);
// A test has set the temporary directory: it then stands for every other choice of one.
bool TempPathSetForTest();

} // namespace Platform
