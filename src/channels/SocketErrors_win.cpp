// The system's socket errors on Windows: Winsock's own numbers.
#include "channels/SocketErrors.h"

#include <winsock2.h>

namespace SocketErrors {

int LastNativeError() {
    return WSAGetLastError();
}

int NativeToWinsock(int nativeError) {
    return nativeError >= WSABASEERR && nativeError < WSABASEERR + 2000 ? nativeError : 0;
}

} // namespace SocketErrors
