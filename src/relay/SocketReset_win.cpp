#include "relay/SocketReset.h"

#include <winsock2.h>

namespace SocketReset {

bool Pending(qintptr descriptor) {
    if (descriptor == qintptr(INVALID_SOCKET) || descriptor < 0)
        return false;
    int error = 0;
    int size = sizeof error;
    return ::getsockopt(SOCKET(descriptor), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) ==
               0 &&
           error == WSAECONNRESET;
}

} // namespace SocketReset
