// Mode 0600 for the files that hold a panel's secrets.
#include "platform/PrivateFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PrivateFile {

bool Prepare(const QString& path, Folder folder, QString* why) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0) {
        if (errno != ENOENT) {
            *why = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        if (folder == Folder::MakeMissing)
            QDir().mkpath(QFileInfo(path).absolutePath());
        // Made with its final rights, so the secrets are never readable for a moment.
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            *why = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        ::close(fd);
        return true;
    }
    if (!S_ISREG(st.st_mode))
        return true;
    if (st.st_uid != ::geteuid()) {
        *why = QStringLiteral("файл принадлежит другому пользователю");
        return false;
    }
    if ((st.st_mode & 077) != 0 && ::chmod(name.constData(), st.st_mode & 0700) != 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace PrivateFile
