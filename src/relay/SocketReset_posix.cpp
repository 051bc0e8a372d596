#include "relay/SocketReset.h"

#include <cerrno>
#include <sys/socket.h>

namespace SocketReset {

bool Pending(qintptr descriptor) {
    if (descriptor < 0)
        return false;
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(int(descriptor), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == ECONNRESET;
}

} // namespace SocketReset
