// Files that hold a panel's secrets (the saved traffic log shows the master code, the
// settings file the panels' phone numbers and addresses) are this user's alone.
//
// One implementation per platform: PrivateFile_posix.cpp (mode 0600), PrivateFile_win.cpp
// (the user's profile and registry key are private already).
#pragma once

#include <QString>

namespace PrivateFile {

enum class Folder { Existing, MakeMissing };

// Call before writing path. A missing file is made, empty, readable and writable by this
// user only (with Folder::MakeMissing its folder too, when missing); an existing plain file
// loses every right of other accounts. Anything but a plain file (a device such as
// /dev/full) is left as it is. False, with the reason in *why, when the file is another
// account's (it could read what is written) or its rights cannot be set.
bool Prepare(const QString& path, Folder folder, QString* why);

} // namespace PrivateFile
