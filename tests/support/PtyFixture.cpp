#include "PtyFixture.h"

#include <QDeadlineTimer>

#include <cerrno>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

PtyFixture::PtyFixture(const QString& linkPath) : m_pty(linkPath) {
    m_pty.plug();
}

qsizetype PtyFixture::writeSome(const QByteArray& bytes) {
    if (bytes.isEmpty())
        return 0;
    ssize_t n;
    do {
        n = ::write(masterFd(), bytes.constData(), static_cast<size_t>(bytes.size()));
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    return n;
}

bool PtyFixture::write(const QByteArray& bytes, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const qsizetype n = writeSome(bytes.mid(done));
        if (n < 0)
            return false;
        done += n;
        if (done == bytes.size())
            break;
        pollfd p{masterFd(), POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0)
            return false;
    }
    return true;
}

QByteArray PtyFixture::readAvailable() {
    QByteArray out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(masterFd(), buffer, sizeof buffer);
        if (n > 0)
            out.append(buffer, n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    return out;
}

QByteArray PtyFixture::read(qsizetype count, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray out = readAvailable();
    while (out.size() < count && !deadline.hasExpired()) {
        pollfd p{masterFd(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0)
            break;
        const QByteArray more = readAvailable();
        if (more.isEmpty())
            break; // POLLHUP/POLLERR without data
        out += more;
    }
    return out;
}

bool PtyFixture::setDriverDefaults() {
    struct termios tio {};
    if (::tcgetattr(slaveFd(), &tio) != 0)
        return false;
    tio.c_iflag |= ICRNL | IXON | IXOFF | IXANY;
    tio.c_oflag |= OPOST | ONLCR;
    tio.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    tio.c_cflag &= ~CSIZE;
    tio.c_cflag |= CS7 | PARENB | CSTOPB;
    return ::tcsetattr(slaveFd(), TCSANOW, &tio) == 0;
}
