#include "channels/SocketErrors.h"

namespace SocketErrors {

int WinsockError(QAbstractSocket::SocketError error, int nativeError) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
    case QAbstractSocket::ProxyConnectionRefusedError:
        return WSAECONNREFUSED;
    case QAbstractSocket::SocketTimeoutError:
    case QAbstractSocket::ProxyConnectionTimeoutError:
        return WSAETIMEDOUT;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return WSAEADDRNOTAVAIL;
    case QAbstractSocket::RemoteHostClosedError:
    case QAbstractSocket::ProxyConnectionClosedError:
        return WSAECONNRESET;
    case QAbstractSocket::HostNotFoundError:
    case QAbstractSocket::ProxyNotFoundError:
        return WSAHOST_NOT_FOUND;
    case QAbstractSocket::NetworkError:
        switch (const int code = NativeToWinsock(nativeError)) {
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
        case WSAEHOSTDOWN:
        case WSAENETDOWN:
        case WSAETIMEDOUT:
        case WSAEADDRINUSE:
        case WSAECONNABORTED:
        case WSAECONNRESET:
            return code;
        default:
            // Not one that Qt files here: the call that failed is no longer the last one.
            return WSAENETUNREACH;
        }
    case QAbstractSocket::OperationError:
        return WSAECONNABORTED; // an operation on a socket that is being taken down
    default:
        // Anything else is a failure of the local network stack.
        return WSAENETDOWN;
    }
}

} // namespace SocketErrors
