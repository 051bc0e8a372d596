// A pseudo-terminal presented as a serial port: the link that names it, plugging and
// unplugging it.
#include "PanelSimShared.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace PanelSimDetail;

namespace {

// Points the link at target in one step: a program watching the name never sees it missing.
bool pointLinkAt(const QString& linkPath, const QByteArray& target) {
    const QByteArray link = QFile::encodeName(linkPath);
    const QByteArray temp = link + ".new-" + QByteArray::number(::getpid());
    ::unlink(temp.constData());
    if (::symlink(target.constData(), temp.constData()) == 0 &&
        ::rename(temp.constData(), link.constData()) == 0)
        return true;
    const int error = errno;
    ::unlink(temp.constData());
    errno = error; // for the caller's message
    return false;
}

} // namespace

PseudoTerminal::PseudoTerminal(const QString& linkPath) : m_linkPath(linkPath) {
    if (m_linkPath.isEmpty()) {
        m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/kestrom-pty-XXXXXX"));
        m_linkPath = m_dir->filePath(QStringLiteral("ttySIM0"));
    }
}

PseudoTerminal::~PseudoTerminal() {
    unplug();
    if (m_linkMade && !m_dir)
        ::unlink(QFile::encodeName(m_linkPath).constData());
}

bool PseudoTerminal::plug() {
    if (isPlugged())
        return true;
    if (m_dir && !m_dir->isValid()) {
        m_error = QStringLiteral("cannot create a temporary directory");
        return false;
    }
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        m_error = errnoText("posix_openpt");
        return false;
    }
    char name[128] = {};
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        m_error = errnoText("pseudo-terminal setup");
        ::close(master);
        return false;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        m_error = errnoText("open slave");
        ::close(master);
        return false;
    }
    // Raw from the start, so that nothing echoes or gets translated while the
    // program has not opened (and configured) the port yet.
    struct termios tio {};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cflag |= CLOCAL;
    ::tcsetattr(slave, TCSANOW, &tio);

    if (!pointLinkAt(m_linkPath, name)) {
        m_error = errnoText("symlink");
        ::close(slave);
        ::close(master);
        return false;
    }
    m_linkMade = true;
    m_master = master;
    m_slave = slave;
    m_devicePath = QString::fromLocal8Bit(name);
    return true;
}

void PseudoTerminal::unplug() {
    const bool wasPlugged = isPlugged();
    // The kept slave first: closing the master then hangs up the program's
    // descriptors and removes the /dev/pts node.
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = -1;
    m_master = -1;
    m_devicePath.clear();
    // The name stays, dangling, like a pulled adapter's. Not at the old /dev/pts node:
    // its number goes to the next pseudo-terminal opened on this machine, and a program
    // reopening the name would get some other program's terminal.
    if (wasPlugged && m_linkMade)
        pointLinkAt(m_linkPath, QFile::encodeName(m_linkPath) + ".unplugged");
}
