// The system's socket errors on POSIX: errno values.
#include "channels/SocketErrors.h"

#include <cerrno>

namespace SocketErrors {

int LastNativeError() {
    return errno;
}

int NativeToWinsock(int nativeError) {
    switch (nativeError) {
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
        return WSAECONNRESET;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    default:
        return 0;
    }
}

} // namespace SocketErrors
