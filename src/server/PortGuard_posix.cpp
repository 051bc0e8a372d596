// The port kept by a second socket beside the listener (SO_REUSEPORT: same user only).
#include "server/PortGuard.h"
#include "server/SockAddr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace PortGuard {
namespace {

QString errnoText(const char* what, int error) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(error)));
}

// A socket of the address's family bound to address:port with SO_REUSEPORT. The holder has
// nothing else: SO_REUSEADDR on a socket that does not listen would let another account's
// SO_REUSEADDR socket bind beside it. The listener has it as Qt's own listeners do, so that
// once the port is given back its connections closing down keep nobody from it.
int bound(const QHostAddress& address, quint16 port, bool reuseAddress, QString* error, int* bindError) {
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    // Close-on-exec: the setup program started meanwhile must not inherit the port.
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *bindError = errno;
        *error = errnoText("socket", errno);
        return -1;
    }
    const int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0 ||
        (reuseAddress && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) ||
        (v6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0)) {
        *bindError = errno;
        *error = errnoText("setsockopt", errno);
        ::close(fd);
        return -1;
    }
    sockaddr_storage a{};
    const int size = SockAddr(address, port, &a);
    const int rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), size);
    if (rc != 0) {
        *bindError = errno;
        *error = errnoText("bind", errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

qintptr Hold(const QHostAddress& address, quint16 port, QString* error, bool* noAddress) {
    int bindError = 0;
    const int fd = bound(address, port, false, error, &bindError);
    *noAddress = fd < 0 && (bindError == EAFNOSUPPORT || bindError == EADDRNOTAVAIL);
    return fd < 0 ? NoSocket : qintptr(fd);
}

qintptr Listen(const QHostAddress& address, quint16 port, qintptr* holder, int backlog, QString* error) {
    if (*holder == NoSocket) {
        *error = QStringLiteral("порт не удержан");
        return NoSocket;
    }
    int bindError = 0;
    const int fd = bound(address, port, true, error, &bindError);
    if (fd < 0)
        return NoSocket;
    if (::listen(fd, backlog) != 0) {
        *error = errnoText("listen", errno);
        ::close(fd);
        return NoSocket;
    }
    return qintptr(fd);
}

void Close(qintptr socket) {
    if (socket != NoSocket)
        ::close(int(socket));
}

} // namespace PortGuard
