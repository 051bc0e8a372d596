// The run directory on Linux: mkdtemp under $XDG_RUNTIME_DIR or the temporary directory.
#include "platform/TempDir.h"

#include "platform/AppPaths.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace TempDir {
namespace {
QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

// A directory under which another account can neither rename nor replace our directory:
// ours or root's, and where others may write, sticky (as /tmp is).
bool SafeParent(const QString& dir, QString* why) {
    struct stat st {};
    if (::stat(native(dir).constData(), &st) != 0) {
        *why = errnoText(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = errnoText(ENOTDIR);
        return false;
    }
    const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if ((st.st_uid != ::geteuid() && st.st_uid != 0) || (othersWrite && !(st.st_mode & S_ISVTX))) {
        *why = QStringLiteral("в папку могут писать другие пользователи");
        return false;
    }
    return true;
}

// $XDG_RUNTIME_DIR serves only as the session manager makes it: ours, 0700.
QString RuntimeDir() {
    const QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty())
        return {};
    struct stat st {};
    if (::stat(native(dir).constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0)
        return {};
    return dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
}

} // namespace

QString BaseDir() {
    const QString base = Platform::TempPathSetForTest() ? QString() : RuntimeDir();
    return base.isEmpty() ? Platform::TempPath() : base;
}

QString MakeRunDir(const QString& base, QString* why) {
    if (!SafeParent(base, why))
        return {};
    QByteArray templ = native(base + QStringLiteral("kestrom-XXXXXX"));
    if (::mkdtemp(templ.data()) == nullptr) {
        *why = errnoText(errno);
        return {};
    }
    const QString made = QFile::decodeName(templ) + QLatin1Char('/');
    // mkdtemp makes it 0700 whatever the umask; a directory that is not what it made is
    // not used.
    if (!StillPrivate(made)) {
        *why = QStringLiteral("папка %1 доступна другим пользователям").arg(made);
        return {};
    }
    return made;
}

bool StillPrivate(const QString& dir) {
    struct stat st {};
    return ::lstat(native(dir).constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

bool IsPrivateFile(const QString& path) {
    struct stat st {};
    return ::lstat(native(path).constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace TempDir
