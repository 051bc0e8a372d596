// The port kept by a socket bound with SO_EXCLUSIVEADDRUSE, which becomes the listener.
// Windows shares no port between two sockets of ours unless others may share it too, so
// between the close of a listener and the next holder the port is free for as long as the
// two calls take.
#include "server/PortGuard.h"
#include "server/SockAddr.h"

#include <cstring>

// In this order: <winsock2.h> before <ws2tcpip.h>.
#include <winsock2.h>

#include <ws2tcpip.h>

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

namespace PortGuard {
namespace {

QString wsaText(const char* what, int error) {
    return QStringLiteral("%1: ошибка %2").arg(QLatin1String(what)).arg(error);
}

} // namespace

qintptr Hold(const QHostAddress& address, quint16 port, QString* error, bool* noAddress) {
    *noAddress = false;
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    // Not inherited: the setup program started meanwhile must not get the port.
    const SOCKET s = ::WSASocketW(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        const int e = ::WSAGetLastError();
        *noAddress = e == WSAEAFNOSUPPORT;
        *error = wsaText("socket", e);
        return NoSocket;
    }
    BOOL on = TRUE;
    if (::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on) !=
            0 ||
        (v6 &&
         ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on) != 0)) {
        *error = wsaText("setsockopt", ::WSAGetLastError());
        ::closesocket(s);
        return NoSocket;
    }
    sockaddr_storage a{};
    const int size = SockAddr(address, port, &a);
    const int rc = ::bind(s, reinterpret_cast<const sockaddr*>(&a), size);
    if (rc != 0) {
        const int e = ::WSAGetLastError();
        *noAddress = e == WSAEADDRNOTAVAIL;
        *error = wsaText("bind", e);
        ::closesocket(s);
        return NoSocket;
    }
    return qintptr(s);
}

qintptr Listen(const QHostAddress&, quint16, qintptr* holder, int backlog, QString* error) {
    if (*holder == NoSocket) {
        *error = QStringLiteral("порт не удержан");
        return NoSocket;
    }
    if (::listen(SOCKET(*holder), backlog) != 0) {
        *error = wsaText("listen", ::WSAGetLastError());
        return NoSocket;
    }
    const qintptr listener = *holder;
    *holder = NoSocket;
    return listener;
}

void Close(qintptr socket) {
    if (socket != NoSocket)
        ::closesocket(SOCKET(socket));
}

} // namespace PortGuard
