// The socket address bind() takes for a QHostAddress and a port, on either platform.
#pragma once

#include <QHostAddress>
#include <cstring>

#ifdef _WIN32
// In this order: <winsock2.h> before <ws2tcpip.h>.
#include <winsock2.h>

#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace PortGuard {

// Fills *out for address:port (IPv4 or IPv6 by the address) and returns its size.
inline int SockAddr(const QHostAddress& address, quint16 port, sockaddr_storage* out) {
    std::memset(out, 0, sizeof *out);
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* a = reinterpret_cast<sockaddr_in6*>(out);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&a->sin6_addr, bytes.c, sizeof bytes.c);
        return int(sizeof *a);
    }
    auto* a = reinterpret_cast<sockaddr_in*>(out);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    a->sin_addr.s_addr = htonl(address.toIPv4Address());
    return int(sizeof *a);
}

} // namespace PortGuard
